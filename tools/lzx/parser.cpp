// Lazy matching. At each position the best choice is the one that saves the
// most bits over coding its bytes as literals: a repeated offset costs
// little more than its main symbol, a new one its slot's extra bits too. A
// match is taken unless the next position offers a better one, in which case
// a literal goes first.

#include "parser.h"

namespace lzx {

namespace {

// Rough costs in bits, good enough to rank choices before the block's trees
// are known.
constexpr int kLiteralBits = 8;
constexpr int kMatchSymbolBits = 9;
constexpr int kLongLengthBits = 5;   // The length tree's symbol, for matches of 9 or more.

struct Choice {
  uint32_t length = 0;   // 0: a literal.
  uint32_t offset = 0;
  int repeat = -1;       // Which repeated offset, or -1 for a new one.
  int saving = 0;        // Bits saved over literals.
};

int Saving(uint32_t length, int repeat, uint32_t offset) {
  int cost = kMatchSymbolBits + (length >= 9 ? kLongLengthBits : 0);
  if (repeat < 0) cost += kExtraBits[PositionSlot(offset + 2)];
  return static_cast<int>(length) * kLiteralBits - cost;
}

uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t length = 0;
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

Choice Best(MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t end, uint32_t pos,
            const RepeatedOffsets& repeated) {
  Choice best;
  uint32_t maxLength = end - pos;
  if (maxLength > kMaxMatch) maxLength = kMaxMatch;
  uint32_t offset = 0;
  uint32_t length = MatchFinderFind(finder, data, origin, end, pos, maxLength, &offset);
  if (maxLength < kMinMatch) return best;
  const uint8_t* here = data + (pos - origin);
  for (int i = 0; i < 3; ++i) {
    uint32_t r = repeated.r[i];
    if (r > pos || r > finder->maxOffset) continue;
    uint32_t common = CommonLength(here, here - r, maxLength);
    if (common < kMinMatch) continue;
    int saving = Saving(common, i, r);
    if (saving > best.saving) best = {common, r, i, saving};
  }
  if (length != 0) {
    int repeat = -1;
    for (int i = 0; i < 3; ++i) {
      if (repeated.r[i] == offset) repeat = i;
    }
    int saving = Saving(length, repeat, offset);
    if (saving > best.saving) best = {length, offset, repeat, saving};
  }
  return best;
}

Item Literal(uint8_t byte) { return Item{byte, 0, 0}; }

Item Match(const Choice& choice, RepeatedOffsets* repeated) {
  int slot;
  uint32_t extra = 0;
  uint32_t* r = repeated->r;
  if (choice.repeat == 0) {
    slot = 0;
  } else if (choice.repeat == 1) {
    slot = 1;
    r[1] = r[0];
    r[0] = choice.offset;
  } else if (choice.repeat == 2) {
    slot = 2;
    r[2] = r[0];
    r[0] = choice.offset;
  } else {
    uint32_t formatted = choice.offset + 2;
    slot = PositionSlot(formatted);
    extra = formatted - kPositionBase[slot];
    r[2] = r[1];
    r[1] = r[0];
    r[0] = choice.offset;
  }
  uint32_t header = choice.length - kMinMatch;
  uint8_t lengthSymbol = 0;
  if (header >= kPrimaryLengths) {
    lengthSymbol = static_cast<uint8_t>(header - kPrimaryLengths);
    header = kPrimaryLengths;
  }
  return Item{static_cast<uint16_t>(kLiterals + (slot << 3) + static_cast<int>(header)), lengthSymbol, extra};
}

}  // namespace

void ReplayOffsets(const Item* items, size_t count, RepeatedOffsets* repeated) {
  uint32_t* r = repeated->r;
  for (size_t i = 0; i < count; ++i) {
    if (items[i].symbol < kLiterals) continue;
    int slot = ItemSlot(items[i]);
    if (slot == 1) {
      uint32_t offset = r[1];
      r[1] = r[0];
      r[0] = offset;
    } else if (slot == 2) {
      uint32_t offset = r[2];
      r[2] = r[0];
      r[0] = offset;
    } else if (slot >= 3) {
      r[2] = r[1];
      r[1] = r[0];
      r[0] = kPositionBase[slot] + items[i].extra - 2;
    }
  }
}

void ParseFrame(MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t start, uint32_t end,
                RepeatedOffsets* repeated, std::vector<Item>* items) {
  uint32_t pos = start;
  Choice current = pos < end ? Best(finder, data, origin, end, pos, *repeated) : Choice();
  while (pos < end) {
    if (current.length == 0) {
      items->push_back(Literal(data[pos - origin]));
      ++pos;
      if (pos < end) current = Best(finder, data, origin, end, pos, *repeated);
      continue;
    }
    if (current.length < finder->niceLength && pos + 1 < end) {
      Choice next = Best(finder, data, origin, end, pos + 1, *repeated);
      if (next.saving > current.saving) {
        items->push_back(Literal(data[pos - origin]));
        ++pos;
        current = next;
        continue;
      }
    }
    items->push_back(Match(current, repeated));
    pos += current.length;
    if (pos < end) current = Best(finder, data, origin, end, pos, *repeated);
  }
  MatchFinderSkipTo(finder, data, origin, end, end);
}

}  // namespace lzx
