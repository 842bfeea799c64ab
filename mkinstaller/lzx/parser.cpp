// Lazy matching. At each position the best choice is the one that saves the
// most bits over coding its bytes as literals: a repeated offset costs
// little more than its main symbol, a new one its slot's extra bits too. A
// match is taken unless the next position offers a better one, in which case
// a literal goes first.

#include "parser.h"

namespace lzx {

namespace {

// Guesses in bits where the trees tell nothing: a folder's first block, and
// symbols the block before did not use.
constexpr int kLiteralBits = 7;
constexpr int kMatchSymbolBits = 9;
constexpr int kLongLengthBits = 5;
constexpr int kUnusedMainBits = 12;
constexpr int kUnusedLengthBits = 9;

struct Choice {
  uint32_t length = 0;   // 0: a literal.
  uint32_t offset = 0;
  int repeat = -1;       // Which repeated offset, or -1 for a new one.
  int saving = 0;        // Bits saved over literals.
};

// What a match costs: its main symbol, its length symbol and, for a new
// offset, its slot's extra bits.
int MatchBits(const SymbolCosts& costs, uint32_t length, int repeat, uint32_t offset) {
  int slot = repeat >= 0 ? repeat : PositionSlot(offset + 2);
  uint32_t header = length - kMinMatch;
  int bits = 0;
  if (header >= kPrimaryLengths) {
    bits += costs.length[header - kPrimaryLengths];
    header = kPrimaryLengths;
  }
  bits += costs.main[kLiterals + slot * 8 + static_cast<int>(header)];
  if (repeat < 0) bits += kExtraBits[slot];
  return bits;
}

uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t length = 0;
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

Choice Best(MatchFinder* finder, const SymbolCosts& costs, const uint8_t* data, uint32_t origin, uint32_t end,
            uint32_t pos, const RepeatedOffsets& repeated) {
  Choice best;
  uint32_t maxLength = end - pos;
  if (maxLength > kMaxMatch) maxLength = kMaxMatch;
  Match matches[kMaxMatches];
  int count = MatchFinderFind(finder, data, origin, end, pos, maxLength, matches);
  if (maxLength < kMinMatch) return best;
  const uint8_t* here = data + (pos - origin);
  Match repeats[3];
  uint32_t longest = count ? matches[count - 1].length : 0;
  for (int i = 0; i < 3; ++i) {
    uint32_t r = repeated.r[i];
    repeats[i] = Match{0, r};
    if (r > pos || r > finder->maxOffset) continue;
    repeats[i].length = CommonLength(here, here - r, maxLength);
    if (repeats[i].length > longest) longest = repeats[i].length;
  }
  // literalBits[n]: what the first n bytes cost as literals.
  int literalBits[kMaxMatch + 1];
  literalBits[0] = 0;
  for (uint32_t n = 0; n < longest; ++n) literalBits[n + 1] = literalBits[n] + costs.main[here[n]];
  for (int i = 0; i < 3; ++i) {
    if (repeats[i].length < kMinMatch) continue;
    uint32_t length = repeats[i].length;
    int saving = literalBits[length] - MatchBits(costs, length, i, repeats[i].offset);
    if (saving > best.saving) best = {length, repeats[i].offset, i, saving};
  }
  // A shorter match nearer by may save more than the longest: its offset
  // costs fewer extra bits.
  for (int m = 0; m < count; ++m) {
    int repeat = -1;
    for (int i = 0; i < 3; ++i) {
      if (repeated.r[i] == matches[m].offset) repeat = i;
    }
    int saving = literalBits[matches[m].length] - MatchBits(costs, matches[m].length, repeat, matches[m].offset);
    if (saving > best.saving) best = {matches[m].length, matches[m].offset, repeat, saving};
  }
  return best;
}

Item Literal(uint8_t byte) { return Item{byte, 0, 0}; }

Item MatchItem(const Choice& choice, RepeatedOffsets* repeated) {
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

void EstimateCosts(const uint8_t* main, const uint8_t* length, int mainSymbols, SymbolCosts* costs) {
  bool known = false;
  for (int i = 0; i < mainSymbols; ++i) known = known || main[i] != 0;
  for (int i = 0; i < kMaxMainSymbols; ++i) {
    int guess = i < kLiterals ? kLiteralBits : kMatchSymbolBits;
    costs->main[i] = static_cast<uint8_t>(!known ? guess : main[i] ? main[i] : kUnusedMainBits);
  }
  for (int i = 0; i < kLengthSymbols; ++i) {
    costs->length[i] = static_cast<uint8_t>(!known ? kLongLengthBits : length[i] ? length[i] : kUnusedLengthBits);
  }
}

void ParseFrame(MatchFinder* finder, const SymbolCosts& costs, const uint8_t* data, uint32_t origin, uint32_t start,
                uint32_t end, RepeatedOffsets* repeated, std::vector<Item>* items) {
  uint32_t pos = start;
  Choice current = pos < end ? Best(finder, costs, data, origin, end, pos, *repeated) : Choice();
  while (pos < end) {
    if (current.length == 0) {
      items->push_back(Literal(data[pos - origin]));
      ++pos;
      if (pos < end) current = Best(finder, costs, data, origin, end, pos, *repeated);
      continue;
    }
    if (current.length < finder->niceLength && pos + 1 < end) {
      Choice next = Best(finder, costs, data, origin, end, pos + 1, *repeated);
      if (next.saving > current.saving) {
        items->push_back(Literal(data[pos - origin]));
        ++pos;
        current = next;
        continue;
      }
    }
    items->push_back(MatchItem(current, repeated));
    pos += current.length;
    if (pos < end) current = Best(finder, costs, data, origin, end, pos, *repeated);
  }
  MatchFinderSkipTo(finder, data, origin, end, end);
}

}  // namespace lzx
