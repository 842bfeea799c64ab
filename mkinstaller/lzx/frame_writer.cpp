// The folder's header (1 bit: translation on; then its size in 32 bits)
// opens the first frame. Every frame is then one block. The buffer keeps the
// last window of the folder before the frame being coded; it is slid down
// when the next frame would not fit.
//
// The x86 call translation turns the relative target of every E8 byte's
// 4-byte operand into an absolute one, as the decoders' undoing of it
// expects: in the first 32,768 frames, not in a frame's last 10 bytes, the
// E8 at folder offset `pos` with an operand `rel` in [-pos, size) becomes
// rel + pos when that is below `size`, else rel - size. Decoders undo it
// only once a block has had a code for the byte E8 (or was stored), and a
// frame without an E8 is left as it is either way.

#include "frame_writer.h"

#include <string.h>

namespace lzx {

namespace {

// Chain depth and the length that ends a search: a fair share of the
// ratio a deeper search would give, at several megabytes a second.
constexpr int kMaxChain = 64;
constexpr uint32_t kNiceLength = 128;

// Blocks are planned from pieces this long.
constexpr uint32_t kPieceSize = 4096;

void Translate(uint8_t* frame, uint32_t size, uint32_t frameStart, uint32_t translationSize) {
  const int32_t limit = static_cast<int32_t>(translationSize);
  for (uint32_t i = 0; i + kUntranslatedTail < size;) {
    if (frame[i] != 0xE8) {
      ++i;
      continue;
    }
    const int32_t pos = static_cast<int32_t>(frameStart + i);
    uint8_t* operand = frame + i + 1;
    int32_t rel = static_cast<int32_t>(static_cast<uint32_t>(operand[0]) | static_cast<uint32_t>(operand[1]) << 8 |
                                       static_cast<uint32_t>(operand[2]) << 16 |
                                       static_cast<uint32_t>(operand[3]) << 24);
    if (rel >= -pos && rel < limit) {
      int32_t absolute = rel < limit - pos ? rel + pos : rel - limit;
      uint32_t bits = static_cast<uint32_t>(absolute);
      for (int b = 0; b < 4; ++b) operand[b] = static_cast<uint8_t>(bits >> (8 * b));
    }
    i += 5;
  }
}

// A run of a frame's items and the bytes they stand for.
struct Span {
  size_t first;
  size_t end;
  uint32_t offset;  // In the frame.
  uint32_t size;
};

// Whether a block may be stored as it is: not when it would end a whole
// frame after an odd number of bytes, as decoders disagree about where the
// pad byte then goes (a whole frame may be the folder's last, but that is
// not known yet).
bool MayStore(const Span& span, uint32_t frameSize) {
  return !(span.offset + span.size == kFrameSize && frameSize == kFrameSize && (span.size & 1));
}

bool Plan(const FrameWriter* writer, const Span& span, uint32_t frameSize, BlockPlan* plan, std::string* error) {
  return PlanBlock(writer->trees, writer->mainSymbols, writer->items.data() + span.first, span.end - span.first,
                   span.size, MayStore(span, frameSize), plan, error);
}

// Codes the frame's items as blocks. The frame is cut into pieces of about
// kPieceSize bytes, and a piece joins the block before it unless it is
// cheaper in a block of its own: text next to code, or data that does not
// compress next to data that does, each get trees of their own.
bool CodeBlocks(FrameWriter* writer, BitWriter* bits, const uint8_t* frame, uint32_t size,
                const RepeatedOffsets& before, std::string* error) {
  std::vector<Span> pieces;
  Span piece = {0, 0, 0, 0};
  const std::vector<Item>& items = writer->items;
  for (size_t i = 0; i < items.size(); ++i) {
    piece.size += ItemLength(items[i]);
    piece.end = i + 1;
    if (piece.size >= kPieceSize) {
      pieces.push_back(piece);
      piece = {i + 1, i + 1, piece.offset + piece.size, 0};
    }
  }
  if (piece.size != 0) pieces.push_back(piece);

  static BlockPlan joined, alone, current;
  std::vector<Span> blocks;
  Span block = pieces[0];
  if (!Plan(writer, block, size, &current, error)) return false;
  for (size_t p = 1; p < pieces.size(); ++p) {
    Span both = {block.first, pieces[p].end, block.offset, block.size + pieces[p].size};
    if (!Plan(writer, both, size, &joined, error) || !Plan(writer, pieces[p], size, &alone, error)) return false;
    if (joined.bits <= current.bits + alone.bits) {
      block = both;
      current = joined;
    } else {
      blocks.push_back(block);
      block = pieces[p];
      current = alone;
    }
  }
  blocks.push_back(block);

  RepeatedOffsets repeated = before;
  for (const Span& span : blocks) {
    const Item* first = items.data() + span.first;
    size_t count = span.end - span.first;
    ReplayOffsets(first, count, &repeated);
    if (!Plan(writer, span, size, &current, error)) return false;
    WriteBlock(bits, &writer->trees, writer->mainSymbols, current, first, count, frame + span.offset, span.size,
               repeated);
  }
  return true;
}

}  // namespace

void FrameWriterInit(FrameWriter* writer, int windowBits, uint32_t translationSize) {
  writer->windowBits = windowBits;
  writer->mainSymbols = kLiterals + 8 * PositionSlots(windowBits);
  writer->translationSize = translationSize;
  writer->position = 0;
  writer->frames = 0;
  writer->ended = false;
  writer->buffer.assign((size_t{2} << windowBits) > 2 * kFrameSize ? size_t{2} << windowBits : 2 * kFrameSize, 0);
  writer->origin = 0;
  writer->filled = 0;
  MatchFinderInit(&writer->finder, windowBits, kMaxChain, kNiceLength);
  writer->repeated = RepeatedOffsets();
  writer->trees = TreeLengths();
  writer->items.clear();
}

bool FrameWriterCode(FrameWriter* writer, const uint8_t* data, uint32_t size, std::vector<uint8_t>* out,
                     std::string* error) {
  if (writer->ended || size > kFrameSize) {
    *error = "internal error: a frame after the folder's last, or longer than a frame";
    return false;
  }
  if (size < kFrameSize) writer->ended = true;
  const uint32_t window = 1u << writer->windowBits;
  if (writer->filled + size > writer->buffer.size()) {
    uint32_t keep = window < writer->filled ? window : writer->filled;
    memmove(writer->buffer.data(), writer->buffer.data() + (writer->filled - keep), keep);
    writer->origin += writer->filled - keep;
    writer->filled = keep;
  }
  uint8_t* frame = writer->buffer.data() + writer->filled;
  memcpy(frame, data, size);
  writer->filled += size;
  if (writer->translationSize != 0 && writer->frames < kTranslatedFrames) {
    Translate(frame, size, writer->position, writer->translationSize);
  }

  out->clear();
  BitWriter bits(out);
  if (writer->frames == 0) {
    if (writer->translationSize != 0) {
      bits.Put(1, 1);
      bits.Put(writer->translationSize >> 16, 16);
      bits.Put(writer->translationSize & 0xFFFF, 16);
    } else {
      bits.Put(0, 1);
    }
  }
  if (size != 0) {
    const uint32_t start = writer->position;
    RepeatedOffsets before = writer->repeated;
    writer->items.clear();
    SymbolCosts costs;
    EstimateCosts(writer->trees.main, writer->trees.length, writer->mainSymbols, &costs);
    ParseFrame(&writer->finder, costs, writer->buffer.data(), writer->origin, start, start + size, &writer->repeated,
               &writer->items);
    if (!CodeBlocks(writer, &bits, frame, size, before, error)) return false;
  }
  bits.Align();
  writer->position += size;
  ++writer->frames;
  if (out->size() > kMaxCodedFrame) {
    *error = "internal error: a frame coded into more than a data block holds";
    return false;
  }
  return true;
}

}  // namespace lzx
