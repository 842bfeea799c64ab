// The folder's header (1 bit: translation on; then its size in 32 bits)
// opens the first frame. The buffer keeps the last window of the folder
// before the run being coded; it is slid down when the next run would not
// fit.
//
// The x86 call translation turns the relative target of every E8 byte's
// 4-byte operand into an absolute one, as the decoders' undoing of it
// expects: in the first 32,768 frames, not in a frame's last 10 bytes, the
// E8 at folder offset `pos` with an operand `rel` in [-pos, size) becomes
// rel + pos when that is below `size`, else rel - size. Decoders undo it
// once a block has had a code for the byte E8 (every block here has one).
//
// Blocks: the run's items are cut into pieces of about kPieceSize bytes
// (ending at frames' ends too), and a piece joins the block before it unless
// it is cheaper in a block of its own: text next to code, or data that does
// not compress next to data that does, each get trees of their own. Only a
// block within one frame may be stored as it is. When a frame would come
// near a data block's limit that way (trees fit for the run serve a frame
// badly), the run is planned again with no block running over a frame.

#include "frame_writer.h"

#include <string.h>

namespace lzx {

// Measured on the benchmark's product and on 2 MiB pieces of code and of
// text against the best open encoder (docs/performance.md): deeper walks
// and a second pass give a few tenths of a percent for half the speed.
const Effort kDefaultEffort = {24, kMaxMatch, kMaxMatch, 1};

namespace {

constexpr uint32_t kPieceSize = 4096;

// What the last frame of a folder cut short may add to its planned code:
// up to 10 + 257 bytes of matches become literals of up to 16 bits.
constexpr uint32_t kCutMargin = 1024;

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

// A run of items and the bytes they stand for (offset in the run).
struct Span {
  size_t first;
  size_t end;
  uint32_t offset;
  uint32_t size;
};

// Whether a block may be stored as it is: only within one frame, and not
// when it would end a whole frame after an odd number of bytes, as decoders
// disagree about where the pad byte then goes (a whole frame may be the
// folder's last, but that is not known yet).
bool MayStore(const Span& span) {
  uint32_t end = span.offset + span.size;
  if (span.offset / kFrameSize != (end - 1) / kFrameSize) return false;
  return !(end % kFrameSize == 0 && (span.size & 1));
}

// Blocks that end at the first item boundary at or after each multiple of
// writer->blockSize in the folder (and at the run's end).
void FixedSpans(const FrameWriter* writer, const std::vector<uint32_t>& starts, std::vector<Span>* blocks) {
  const uint32_t every = writer->blockSize;
  Span span = {0, 0, 0, 0};
  uint32_t next = (writer->position / every + 1) * every - writer->position;
  for (size_t i = 0; i < writer->items.size(); ++i) {
    span.end = i + 1;
    span.size = starts[i + 1] - span.offset;
    if (starts[i + 1] >= next || i + 1 == writer->items.size()) {
      blocks->push_back(span);
      span = {i + 1, i + 1, starts[i + 1], 0};
      while (next <= starts[i + 1]) next += every;
    }
  }
}

bool PlanSpans(FrameWriter* writer, const std::vector<uint32_t>& starts, bool confined, std::vector<Span>* blocks,
               std::string* error) {
  if (writer->blockSize != 0 && !confined) {
    blocks->clear();
    FixedSpans(writer, starts, blocks);
    return true;
  }
  const std::vector<Item>& items = writer->items;
  std::vector<Span> pieces;
  std::vector<Counts> counts;
  Span piece = {0, 0, 0, 0};
  for (size_t i = 0; i < items.size(); ++i) {
    piece.end = i + 1;
    piece.size = starts[i + 1] - piece.offset;
    if (piece.size >= kPieceSize || starts[i + 1] % kFrameSize == 0 || i + 1 == items.size()) {
      pieces.push_back(piece);
      counts.emplace_back();
      CountItems(items.data() + piece.first, piece.end - piece.first, &counts.back());
      piece = {i + 1, i + 1, starts[i + 1], 0};
    }
  }
  blocks->clear();
  if (pieces.empty()) return true;
  static BlockPlan joined, alone, current;
  static Counts both;
  static Counts block;
  Span span = pieces[0];
  block = counts[0];
  if (!PlanBlock(writer->trees, writer->mainSymbols, block, span.size, MayStore(span), &current, error)) return false;
  for (size_t p = 1; p < pieces.size(); ++p) {
    Span next = pieces[p];
    bool split = confined && next.offset % kFrameSize == 0;
    if (!split) {
      Span merged = {span.first, next.end, span.offset, span.size + next.size};
      both = block;
      AddCounts(counts[p], &both);
      if (!PlanBlock(writer->trees, writer->mainSymbols, both, merged.size, MayStore(merged), &joined, error) ||
          !PlanBlock(writer->trees, writer->mainSymbols, counts[p], next.size, MayStore(next), &alone, error)) {
        return false;
      }
      if (joined.bits <= current.bits + alone.bits) {
        span = merged;
        block = both;
        current = joined;
        continue;
      }
    } else if (!PlanBlock(writer->trees, writer->mainSymbols, counts[p], next.size, MayStore(next), &alone, error)) {
      return false;
    }
    blocks->push_back(span);
    span = next;
    block = counts[p];
    current = alone;
  }
  blocks->push_back(span);
  return true;
}

// Where writing the run's blocks has got to.
struct Cursor {
  size_t block = 0;        // The next block to start.
  uint32_t blockEnd = 0;   // The end of the block in force, in the run.
  RepeatedOffsets offsets; // In force once the blocks started so far are decoded.
  BlockPlan plan;
  BlockCodes codes;
};

// Writes the frame [frameStart, frameEnd) of the run: its bytes as decoded
// are `bytes`, its items `items[0..count)`; the blocks' own items are in
// writer->items.
bool WriteFrame(FrameWriter* writer, BitWriter* bits, const std::vector<Span>& blocks, Cursor* cursor,
                const uint8_t* bytes, uint32_t frameStart, uint32_t frameEnd, const Item* items, size_t count,
                std::string* error) {
  uint32_t pos = frameStart;
  size_t k = 0;
  while (pos < frameEnd) {
    if (cursor->block < blocks.size() && blocks[cursor->block].offset == pos) {
      const Span& span = blocks[cursor->block++];
      const Item* own = writer->items.data() + span.first;
      Counts counts;
      CountItems(own, span.end - span.first, &counts);
      ReplayOffsets(own, span.end - span.first, &cursor->offsets);
      if (!PlanBlock(writer->trees, writer->mainSymbols, counts, span.size, MayStore(span), &cursor->plan, error)) {
        return false;
      }
      WriteBlockHeader(bits, &writer->trees, writer->mainSymbols, cursor->plan, span.size, cursor->offsets,
                       &cursor->codes);
      cursor->blockEnd = span.offset + span.size;
      if (cursor->plan.type == kBlockUncompressed) {
        uint32_t end = cursor->blockEnd < frameEnd ? cursor->blockEnd : frameEnd;
        WriteStored(bits, bytes + (pos - frameStart), end - pos, end == cursor->blockEnd && (span.size & 1));
        while (k < count && pos < end) pos += ItemLength(items[k++]);
        if (pos != end) break;
        continue;
      }
    }
    uint32_t stop = cursor->blockEnd < frameEnd ? cursor->blockEnd : frameEnd;
    if (stop <= pos) break;
    size_t first = k;
    while (k < count && pos < stop) pos += ItemLength(items[k++]);
    WriteItems(bits, cursor->plan, cursor->codes, items + first, k - first);
    if (pos != stop) break;
  }
  if (pos != frameEnd || k != count) {
    *error = "internal error: the items do not fit the frame's blocks";
    return false;
  }
  bits->Align();
  return true;
}

// The frames of the run up to `cut` (or all of them), coded with `blocks`.
bool WriteRun(FrameWriter* writer, const std::vector<Span>& blocks, const RepeatedOffsets& before,
              const std::vector<uint32_t>& starts, const uint8_t* run, const uint8_t* raw, uint32_t size, uint32_t cut,
              std::vector<std::vector<uint8_t>>* frames, std::string* error) {
  Cursor cursor;
  cursor.offsets = before;
  size_t item = 0;
  for (uint32_t frameStart = 0; frameStart < size && frameStart < cut; frameStart += kFrameSize) {
    uint32_t frameEnd = size - frameStart < kFrameSize ? size : frameStart + kFrameSize;
    size_t first = item;
    while (item < writer->items.size() && starts[item] < frameEnd) ++item;
    const uint32_t frame = writer->frames + frameStart / kFrameSize;
    frames->emplace_back();
    BitWriter bits(&frames->back());
    if (frame == 0) {
      bits.Put(writer->translationSize != 0 ? 1 : 0, 1);
      if (writer->translationSize != 0) {
        bits.Put(writer->translationSize >> 16, 16);
        bits.Put(writer->translationSize & 0xFFFF, 16);
      }
    }
    if (cut >= frameEnd) {
      if (!WriteFrame(writer, &bits, blocks, &cursor, run + frameStart, frameStart, frameEnd,
                      writer->items.data() + first, item - first, error)) {
        return false;
      }
      continue;
    }
    // The folder's last frame, cut short: the bytes as a frame of this size
    // translates them differ from the planned ones in its last 10 bytes.
    const uint32_t length = cut - frameStart;
    std::vector<uint8_t> bytes(raw + frameStart, raw + cut);
    bool translated = writer->translationSize != 0 && frame < kTranslatedFrames;
    if (translated) Translate(bytes.data(), length, writer->position + frameStart, writer->translationSize);
    uint32_t keep = !translated ? cut : length > kUntranslatedTail ? cut - kUntranslatedTail : frameStart;
    std::vector<Item> items;
    uint32_t pos = frameStart;
    for (size_t i = first; i < item && starts[i + 1] <= keep; ++i) {
      items.push_back(writer->items[i]);
      pos = starts[i + 1];
    }
    for (; pos < cut; ++pos) items.push_back(LiteralItem(bytes[pos - frameStart]));
    if (!WriteFrame(writer, &bits, blocks, &cursor, bytes.data(), frameStart, cut, items.data(), items.size(),
                    error)) {
      return false;
    }
  }
  return true;
}

// Whether every match of the run's parse repeats the bytes it points back
// to, within the window and the folder: a fault in the match finder or the
// parser stops the encoder instead of writing a folder that unpacks wrong.
bool MatchesHold(const FrameWriter* writer, const RepeatedOffsets& before, const std::vector<uint32_t>& starts,
                 const uint8_t* run) {
  RepeatedOffsets offsets = before;
  for (size_t i = 0; i < writer->items.size(); ++i) {
    const Item& item = writer->items[i];
    if (item.symbol < kLiterals) continue;
    ReplayOffsets(&item, 1, &offsets);
    const uint32_t offset = offsets.r[0];
    const uint32_t at = starts[i];
    if (offset == 0 || offset > writer->position + at || offset > MaxOffset(writer->windowBits) ||
        memcmp(run + at, run + at - offset, starts[i + 1] - at) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

void FrameWriterInit(FrameWriter* writer, int windowBits, uint32_t translationSize, const Effort& effort) {
  writer->windowBits = windowBits;
  writer->mainSymbols = kLiterals + 8 * PositionSlots(windowBits);
  writer->translationSize = translationSize;
  writer->position = 0;
  writer->frames = 0;
  writer->ended = false;
  // Room for many runs after the window: the window is slid down seldom.
  writer->buffer.assign((size_t{1} << windowBits) + 16 * kRunSize, 0);
  writer->origin = 0;
  writer->filled = 0;
  MatchFinderInit(&writer->finder, windowBits, effort.depth, effort.niceLength);
  ParserInit(&writer->parser, writer->mainSymbols, MaxOffset(windowBits), effort.takeLength, effort.passes);
  writer->blockSize = 0;
  writer->repeated = RepeatedOffsets();
  writer->trees = TreeLengths();
  writer->items.clear();
}

bool FrameWriterCode(FrameWriter* writer, const uint8_t* data, uint32_t size, uint32_t cut,
                     std::vector<std::vector<uint8_t>>* frames, std::string* error) {
  if (writer->ended || size > kRunSize || cut > size) {
    *error = "internal error: a run after the folder's end, or longer than a run";
    return false;
  }
  if (size < kRunSize || cut < size) writer->ended = true;
  const uint32_t window = 1u << writer->windowBits;
  if (writer->filled + size > writer->buffer.size()) {
    uint32_t keep = window < writer->filled ? window : writer->filled;
    memmove(writer->buffer.data(), writer->buffer.data() + (writer->filled - keep), keep);
    writer->origin += writer->filled - keep;
    writer->filled = keep;
  }
  uint8_t* run = writer->buffer.data() + writer->filled;
  memcpy(run, data, size);
  writer->filled += size;
  for (uint32_t offset = 0; offset < size; offset += kFrameSize) {
    uint32_t frame = writer->frames + offset / kFrameSize;
    if (writer->translationSize == 0 || frame >= kTranslatedFrames) break;
    uint32_t length = size - offset < kFrameSize ? size - offset : kFrameSize;
    Translate(run + offset, length, writer->position + offset, writer->translationSize);
  }

  if (size == 0) {
    // An empty folder: one frame with the header alone.
    frames->emplace_back();
    BitWriter bits(&frames->back());
    bits.Put(writer->translationSize != 0 ? 1 : 0, 1);
    if (writer->translationSize != 0) {
      bits.Put(writer->translationSize >> 16, 16);
      bits.Put(writer->translationSize & 0xFFFF, 16);
    }
    bits.Align();
    writer->frames += 1;
    return true;
  }

  const RepeatedOffsets before = writer->repeated;
  writer->items.clear();
  ParseRun(&writer->parser, &writer->finder, writer->buffer.data(), writer->origin, writer->position,
           writer->position + size, size, &writer->repeated, &writer->items);
  std::vector<uint32_t> starts(writer->items.size() + 1);
  starts[0] = 0;
  for (size_t i = 0; i < writer->items.size(); ++i) starts[i + 1] = starts[i] + ItemLength(writer->items[i]);
  if (starts.back() != size) {
    *error = "internal error: the parse does not cover the run";
    return false;
  }
  if (!MatchesHold(writer, before, starts, run)) {
    *error = "internal error: the parse has a match the bytes do not hold";
    return false;
  }

  // Blocks over frames where no frame then comes near a data block's limit.
  const TreeLengths trees = writer->trees;
  std::vector<Span> blocks;
  std::vector<std::vector<uint8_t>> planned;
  bool confined = false;
  for (;;) {
    if (!PlanSpans(writer, starts, confined, &blocks, error)) return false;
    planned.clear();
    if (!WriteRun(writer, blocks, before, starts, run, data, size, size, &planned, error)) return false;
    uint32_t largest = 0;
    for (const std::vector<uint8_t>& frame : planned) {
      if (frame.size() > largest) largest = static_cast<uint32_t>(frame.size());
    }
    if (confined && largest > kMaxCodedFrame - kCutMargin) {
      *error = "internal error: a frame coded into more than a data block holds";
      return false;
    }
    if (confined || largest <= kMaxCodedFrame - kCutMargin) break;
    writer->trees = trees;
    confined = true;
  }
  if (cut == size) {
    for (std::vector<uint8_t>& frame : planned) frames->push_back(std::move(frame));
  } else {
    writer->trees = trees;
    size_t had = frames->size();
    if (!WriteRun(writer, blocks, before, starts, run, data, size, cut, frames, error)) return false;
    if (frames->size() > had && frames->back().size() > kMaxCodedFrame) {
      *error = "internal error: a frame coded into more than a data block holds";
      return false;
    }
  }
  writer->position += size;
  writer->frames += (size + kFrameSize - 1) / kFrameSize;
  return true;
}

}  // namespace lzx
