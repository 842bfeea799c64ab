// A block's header is its type (3 bits) and size (24 bits). A verbatim or
// aligned block then holds its trees: the aligned tree (aligned blocks only,
// 8 lengths of 3 bits), the main tree in two parts (literals, then matches)
// and the length tree, each part as differences to the previous block's
// lengths coded with a pretree of its own. Then come the items: the main
// symbol, the length symbol when the length header is 7, and for a new
// offset its extra bits, of which an aligned block codes the lowest 3 with
// the aligned tree when there are 3 or more.

#include "block_coder.h"

#include <string.h>

#include <vector>

#include "huffman.h"

namespace lzx {

namespace {

constexpr int kZeroRunShort = 17;   // 4-19 zeros: 4 more bits.
constexpr int kZeroRunLong = 18;    // 20-51 zeros: 5 more bits.
constexpr int kSameRun = 19;        // 4-5 equal lengths: 1 more bit, then their difference.

struct Token {
  uint8_t symbol;
  uint8_t extraBits;
  uint8_t extra;
  uint8_t difference;  // For kSameRun: the difference symbol that follows.
};

// One part of a tree as pretree tokens, with the pretree itself.
struct TreePart {
  std::vector<Token> tokens;
  uint8_t pretree[kPretreeSymbols];
  uint16_t codes[kPretreeSymbols];
  uint64_t bits = 0;
};

uint8_t Difference(uint8_t previous, uint8_t length) {
  return static_cast<uint8_t>((previous + 17 - length) % 17);
}

void PlanPart(const uint8_t* previous, const uint8_t* lengths, int count, TreePart* part) {
  part->tokens.clear();
  for (int i = 0; i < count;) {
    int run = 1;
    while (i + run < count && lengths[i + run] == lengths[i]) ++run;
    if (lengths[i] == 0 && run >= 20) {
      int n = run < 51 ? run : 51;
      part->tokens.push_back({kZeroRunLong, 5, static_cast<uint8_t>(n - 20), 0});
      i += n;
    } else if (lengths[i] == 0 && run >= 4) {
      int n = run < 19 ? run : 19;
      part->tokens.push_back({kZeroRunShort, 4, static_cast<uint8_t>(n - 4), 0});
      i += n;
    } else if (lengths[i] != 0 && run >= 4) {
      int n = run < 5 ? run : 5;
      part->tokens.push_back({kSameRun, 1, static_cast<uint8_t>(n - 4), Difference(previous[i], lengths[i])});
      i += n;
    } else {
      part->tokens.push_back({Difference(previous[i], lengths[i]), 0, 0, 0});
      ++i;
    }
  }
  uint32_t freq[kPretreeSymbols] = {};
  for (const Token& token : part->tokens) {
    ++freq[token.symbol];
    if (token.symbol == kSameRun) ++freq[token.difference];
  }
  HuffmanLengths(freq, kPretreeSymbols, kMaxPretreeLength, part->pretree);
  HuffmanCodes(part->pretree, kPretreeSymbols, part->codes);
  part->bits = 4 * kPretreeSymbols;
  for (const Token& token : part->tokens) {
    part->bits += part->pretree[token.symbol] + token.extraBits;
    if (token.symbol == kSameRun) part->bits += part->pretree[token.difference];
  }
}

void WritePart(BitWriter* out, const TreePart& part) {
  for (int s = 0; s < kPretreeSymbols; ++s) out->Put(part.pretree[s], 4);
  for (const Token& token : part.tokens) {
    out->Put(part.codes[token.symbol], part.pretree[token.symbol]);
    if (token.extraBits != 0) out->Put(token.extra, token.extraBits);
    if (token.symbol == kSameRun) out->Put(part.codes[token.difference], part.pretree[token.difference]);
  }
}

bool Complete(const uint8_t* lengths, int count, int limit, const char* which, std::string* error) {
  if (HuffmanComplete(lengths, count, limit)) return true;
  *error = std::string("internal error: the ") + which + " tree is not a complete code";
  return false;
}

void PlanParts(const TreeLengths& previous, int mainSymbols, const BlockPlan& plan, TreePart parts[3]) {
  PlanPart(previous.main, plan.main, kLiterals, &parts[0]);
  PlanPart(previous.main + kLiterals, plan.main + kLiterals, mainSymbols - kLiterals, &parts[1]);
  PlanPart(previous.length, plan.length, kLengthSymbols, &parts[2]);
}

}  // namespace

bool PlanBlock(const TreeLengths& previous, int mainSymbols, const Counts& counts, uint32_t size, bool mayStore,
               BlockPlan* plan, std::string* error) {
  uint32_t main[kMaxMainSymbols];
  memcpy(main, counts.main, sizeof main);
  for (int s = 0; s < kLiterals; ++s) main[s] = main[s] != 0 ? main[s] : 1;
  HuffmanLengths(main, mainSymbols, kMaxCodeLength, plan->main);
  HuffmanLengths(counts.length, kLengthSymbols, kMaxCodeLength, plan->length);
  HuffmanLengths(counts.aligned, kAlignedSymbols, kMaxAlignedLength, plan->aligned);
  if (!Complete(plan->main, mainSymbols, kMaxCodeLength, "main", error) ||
      !Complete(plan->length, kLengthSymbols, kMaxCodeLength, "length", error) ||
      !Complete(plan->aligned, kAlignedSymbols, kMaxAlignedLength, "aligned", error)) {
    return false;
  }
  TreePart parts[3];
  PlanParts(previous, mainSymbols, *plan, parts);
  for (const TreePart& part : parts) {
    if (!Complete(part.pretree, kPretreeSymbols, kMaxPretreeLength, "pretree", error)) return false;
  }

  uint64_t symbolBits = 0;
  for (int s = 0; s < mainSymbols; ++s) symbolBits += uint64_t{counts.main[s]} * plan->main[s];
  for (int s = 0; s < kLengthSymbols; ++s) symbolBits += uint64_t{counts.length[s]} * plan->length[s];
  uint64_t alignedSymbols = 0;
  for (int s = 0; s < kAlignedSymbols; ++s) alignedSymbols += uint64_t{counts.aligned[s]} * plan->aligned[s];
  const uint64_t header = 3 + 24;
  uint64_t treeBits = parts[0].bits + parts[1].bits + parts[2].bits;
  uint64_t verbatimBits = header + treeBits + symbolBits + counts.verbatimExtra;
  uint64_t alignedBits = header + 3 * kAlignedSymbols + treeBits + symbolBits + counts.alignedHigh + alignedSymbols;
  // An uncompressed block: up to 16 bits of padding, the repeated offsets,
  // the bytes and a pad byte when they are odd.
  uint64_t storedBits = header + 16 + 96 + 8 * (uint64_t{size} + (size & 1));
  plan->type = kBlockVerbatim;
  plan->bits = verbatimBits;
  if (alignedBits < plan->bits) {
    plan->type = kBlockAligned;
    plan->bits = alignedBits;
  }
  if (mayStore && storedBits <= plan->bits) {
    plan->type = kBlockUncompressed;
    plan->bits = storedBits;
  }
  return true;
}

void WriteBlockHeader(BitWriter* out, TreeLengths* previous, int mainSymbols, const BlockPlan& plan, uint32_t size,
                      const RepeatedOffsets& after, BlockCodes* codes) {
  out->Put(static_cast<uint32_t>(plan.type), 3);
  out->Put(size, 24);
  if (plan.type == kBlockUncompressed) {
    out->PadBeforeBytes();
    uint8_t stored[12];
    for (int i = 0; i < 3; ++i) {
      for (int b = 0; b < 4; ++b) stored[4 * i + b] = static_cast<uint8_t>(after.r[i] >> (8 * b));
    }
    out->PutBytes(stored, sizeof stored);
    return;
  }
  if (plan.type == kBlockAligned) {
    for (int s = 0; s < kAlignedSymbols; ++s) out->Put(plan.aligned[s], 3);
  }
  TreePart parts[3];
  PlanParts(*previous, mainSymbols, plan, parts);
  for (const TreePart& part : parts) WritePart(out, part);
  HuffmanCodes(plan.main, mainSymbols, codes->main);
  HuffmanCodes(plan.length, kLengthSymbols, codes->length);
  HuffmanCodes(plan.aligned, kAlignedSymbols, codes->aligned);
  memcpy(previous->main, plan.main, static_cast<size_t>(mainSymbols));
  memcpy(previous->length, plan.length, kLengthSymbols);
}

void WriteItems(BitWriter* out, const BlockPlan& plan, const BlockCodes& codes, const Item* items, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const Item& item = items[i];
    out->Put(codes.main[item.symbol], plan.main[item.symbol]);
    if (item.symbol < kLiterals) continue;
    if ((item.symbol & 7) == kPrimaryLengths) out->Put(codes.length[item.lengthSymbol], plan.length[item.lengthSymbol]);
    int slot = ItemSlot(item);
    if (slot < 3) continue;
    int extraBits = kExtraBits[slot];
    if (plan.type == kBlockAligned && extraBits >= 3) {
      out->Put(item.extra >> 3, extraBits - 3);
      out->Put(codes.aligned[item.extra & 7], plan.aligned[item.extra & 7]);
    } else if (extraBits != 0) {
      out->Put(item.extra, extraBits);
    }
  }
}

void WriteStored(BitWriter* out, const uint8_t* bytes, uint32_t count, bool padded) {
  out->PutBytes(bytes, count);
  if (padded) {
    const uint8_t pad = 0;
    out->PutBytes(&pad, 1);
  }
}

}  // namespace lzx
