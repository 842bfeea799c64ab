// The cheapest path: every position of the run is a node, reached from an
// earlier one by a literal or a match; nodes are settled in order, so when a
// node is left its cheapest way in is known, and with it the repeated
// offsets a decoder holds there. From each node go a literal and a match of
// every length, each with the cheapest offset likely to give it: the
// repeated offsets first (most recent first), then the candidates the match
// finder gave (the nearest occurrence for each length). A length one offset
// reaches is not tried with the next, which would almost always cost more;
// this halves the steps tried. A match as long as the finder compares is
// taken at once: the positions it covers are not left from.

#include "parser.h"

#include <string.h>

#include "huffman.h"

namespace lzx {

namespace {

// Guesses in bits where the trees tell nothing: a folder's first run, and
// symbols the trees give no code.
constexpr uint32_t kLiteralBits = 8;
constexpr uint32_t kMatchSymbolBits = 9;
constexpr uint32_t kLongLengthBits = 5;
constexpr uint32_t kUnusedMainBits = 12;
constexpr uint32_t kUnusedLengthBits = 9;

constexpr uint32_t kRow = kMaxMatch + 1;

// The match finder's tables are asked for this many positions ahead, the
// trees' first nodes this many, and their subtrees this many.
constexpr uint32_t kFetchFar = 24;
constexpr uint32_t kFetchNear = 12;
constexpr uint32_t kFetchNext = 6;

// Costs stay below it, so compare as signed too; its bytes are all alike,
// so a memset sets it.
constexpr uint32_t kUnreached = 0x7F7F7F7F;
constexpr uint8_t kNewOffset = 3;

void SetCosts(Parser* parser, const uint8_t* main, const uint8_t* length) {
  bool known = false;
  for (int i = 0; i < parser->mainSymbols; ++i) known = known || main[i] != 0;
  uint32_t mainCost[kMaxMainSymbols];
  uint32_t lengthCost[kLengthSymbols];
  for (int i = 0; i < parser->mainSymbols; ++i) {
    uint32_t guess = i < kLiterals ? kLiteralBits : kMatchSymbolBits;
    mainCost[i] = !known ? guess : main[i] ? main[i] : kUnusedMainBits;
  }
  for (int i = 0; i < kLengthSymbols; ++i) {
    lengthCost[i] = !known ? kLongLengthBits : length[i] ? length[i] : kUnusedLengthBits;
  }
  memcpy(parser->literalCost, mainCost, sizeof parser->literalCost);
  int slots = (parser->mainSymbols - kLiterals) / 8;
  for (int slot = 0; slot < slots; ++slot) {
    uint32_t* row = &parser->matchCost[static_cast<size_t>(slot) * kRow];
    for (uint32_t len = kMinMatch; len <= kMaxMatch; ++len) {
      uint32_t header = len - kMinMatch;
      uint32_t bits = 0;
      if (header >= kPrimaryLengths) {
        bits = lengthCost[header - kPrimaryLengths];
        header = kPrimaryLengths;
      }
      row[len] = bits + mainCost[kLiterals + slot * 8 + static_cast<int>(header)];
    }
  }
}

// A step into a node, in 32 bits: its length (9 bits; 1 for a literal),
// which repeated offset it uses (2 bits; 3: a new one) and its offset (21
// bits, enough for the largest window).
inline uint32_t Step(uint32_t length, uint32_t repeat, uint32_t offset) { return length | repeat << 9 | offset << 11; }
inline uint32_t StepLength(uint32_t step) { return step & 0x1FF; }
inline uint32_t StepRepeat(uint32_t step) { return (step >> 9) & 3; }
inline uint32_t StepOffset(uint32_t step) { return step >> 11; }

// What the low 3 bits of a new offset's extra bits cost: 3 bits each, or
// their aligned tree's lengths when the counts make an aligned block pay.
void SetAlignedCosts(Parser* parser, const Counts& counts) {
  uint8_t lengths[kAlignedSymbols];
  HuffmanLengths(counts.aligned, kAlignedSymbols, kMaxAlignedLength, lengths);
  uint64_t aligned = 3 * kAlignedSymbols;
  uint64_t verbatim = 0;
  for (int s = 0; s < kAlignedSymbols; ++s) {
    aligned += uint64_t{counts.aligned[s]} * lengths[s];
    verbatim += uint64_t{counts.aligned[s]} * 3;
  }
  for (int s = 0; s < kAlignedSymbols; ++s) parser->alignedCost[s] = aligned < verbatim ? lengths[s] : 3;
}

inline void Relax(uint32_t* cost, uint32_t* step, uint32_t to, uint32_t newCost, uint32_t newStep) {
  if (newCost < cost[to]) {
    cost[to] = newCost;
    step[to] = newStep;
  }
}

// Relaxes the steps of lengths [first, last] from `from` (cost `base`), of
// which length `len` costs base + row[len] and is written code | len: four
// lengths at a time.
typedef int32_t Lanes __attribute__((vector_size(16)));

inline void RelaxSpan(uint32_t* cost, uint32_t* step, uint32_t from, uint32_t base, const uint32_t* row,
                      uint32_t code, uint32_t first, uint32_t last) {
  uint32_t len = first;
  if (len + 4 <= last + 1) {
    const Lanes bases = Lanes{} + static_cast<int32_t>(base);
    Lanes codes = Lanes{0, 1, 2, 3} + static_cast<int32_t>(code | len);
    for (; len + 4 <= last + 1; len += 4) {
      Lanes extra;
      Lanes old;
      Lanes was;
      memcpy(&extra, row + len, sizeof extra);
      memcpy(&old, cost + from + len, sizeof old);
      memcpy(&was, step + from + len, sizeof was);
      Lanes now = bases + extra;
      Lanes better = now < old;
      old = (now & better) | (old & ~better);
      was = (codes & better) | (was & ~better);
      memcpy(cost + from + len, &old, sizeof old);
      memcpy(step + from + len, &was, sizeof was);
      codes += 4;
    }
  }
  for (; len <= last; ++len) Relax(cost, step, from + len, base + row[len], code | len);
}

// The same for a match's lengths, except those in the middle of a long one:
// a path seldom leaves a long match there rather than near its start or its
// end, and the positions it would reach are reached from nearer ones.
constexpr uint32_t kFirstLengths = 32;
constexpr uint32_t kLastLengths = 16;

inline void RelaxLengths(uint32_t* cost, uint32_t* step, uint32_t from, uint32_t base, const uint32_t* row,
                         uint32_t code, uint32_t first, uint32_t last) {
  if (last < kFirstLengths + kLastLengths || last - kLastLengths < first) {
    RelaxSpan(cost, step, from, base, row, code, first, last);
    return;
  }
  if (first <= kFirstLengths) RelaxSpan(cost, step, from, base, row, code, first, kFirstLengths);
  uint32_t tail = last - kLastLengths + 1;
  RelaxSpan(cost, step, from, base, row, code, tail > first ? tail : first, last);
}

// The offsets a decoder holds after `step` from offsets `from`.
void Advance(const RepeatedOffsets& from, uint32_t step, RepeatedOffsets* after) {
  *after = from;
  uint32_t repeat = StepRepeat(step);
  if (repeat == 0) return;  // A literal, or the same offset again.
  uint32_t* r = after->r;
  if (repeat == 1 || repeat == 2) {
    r[repeat] = r[0];
    r[0] = StepOffset(step);
  } else {
    r[2] = r[1];
    r[1] = r[0];
    r[0] = StepOffset(step);
  }
}

// The run's candidates for every position, found once for all passes.
void FindMatches(Parser* parser, MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t start,
                 uint32_t end, uint32_t known) {
  const uint32_t knownEnd = start + known;
  // Positions left at the end of the run before, their prefix now known.
  for (uint32_t pos = finder->next; pos < start && pos + 4 <= knownEnd; ++pos) {
    MatchFinderSkip(finder, data + (pos - origin), pos, knownEnd - pos);
  }
  const uint32_t n = end - start;
  // The finder writes straight into `matches`, which always has room for
  // one more position's candidates past the `used` ones.
  std::vector<Match>& matches = parser->matches;
  uint32_t used = 0;
  parser->firstMatch.resize(n + 1);
  uint32_t* firstMatch = parser->firstMatch.data();
  uint32_t skipTo = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t pos = start + i;
    firstMatch[i] = used;
    if (pos + 4 > knownEnd || pos != finder->next) continue;
    const uint8_t* here = data + (pos - origin);
    if (pos + kFetchFar + 4 <= knownEnd) {
      MatchFinderPrefetch(finder, here + kFetchFar, pos + kFetchFar, 0);
      MatchFinderPrefetch(finder, here + kFetchNear, pos + kFetchNear, 1);
      MatchFinderPrefetch(finder, here + kFetchNext, pos + kFetchNext, 2);
    }
    if (i < skipTo) {
      MatchFinderSkip(finder, here, pos, knownEnd - pos);
      continue;
    }
    if (matches.size() < used + kMaxMatches) matches.resize(2 * matches.size() + kMaxMatches);
    Match* found = matches.data() + used;
    int count = MatchFinderFind(finder, here, pos, knownEnd - pos, found);
    uint32_t frameEnd = (pos / kFrameSize + 1) * kFrameSize;
    uint32_t limit = (frameEnd < end ? frameEnd : end) - pos;
    if (limit > kMaxMatch) limit = kMaxMatch;
    if (limit < kMinMatch) count = 0;
    if (count != 0 && found[count - 1].length >= limit) {
      // The first to reach the limit is cut to it and ends the list.
      int m = 0;
      while (found[m].length < limit) ++m;
      found[m].length = limit;
      count = m + 1;
    }
    used += static_cast<uint32_t>(count);
    if (count != 0 && found[count - 1].length >= parser->takeLength) skipTo = i + found[count - 1].length;
  }
  firstMatch[n] = used;
}

void FindPath(Parser* parser, uint32_t take, const uint8_t* data, uint32_t origin, uint32_t start, uint32_t end,
              const RepeatedOffsets& repeated) {
  const uint32_t n = end - start;
  parser->cost.resize(n + 1);
  memset(parser->cost.data(), 0x7F, (n + 1) * sizeof(uint32_t));
  parser->step.resize(n + 1);
  uint32_t* cost = parser->cost.data();
  uint32_t* step = parser->step.data();
  parser->after.resize(n + 1);
  RepeatedOffsets* after = parser->after.data();
  cost[0] = 0;
  step[0] = 0;
  after[0] = repeated;
  const uint32_t* matchCost = parser->matchCost.data();
  for (uint32_t i = 0; i < n; ++i) {
    if (i != 0) Advance(after[i - StepLength(step[i])], step[i], &after[i]);
    const RepeatedOffsets& q = after[i];
    const uint32_t pos = start + i;
    const uint8_t* here = data + (pos - origin);
    const uint32_t base = cost[i];
    Relax(cost, step, i + 1, base + parser->literalCost[here[0]], Step(1, 0, 0));
    uint32_t frameEnd = (pos / kFrameSize + 1) * kFrameSize;
    uint32_t limit = (frameEnd < end ? frameEnd : end) - pos;
    if (limit > kMaxMatch) limit = kMaxMatch;
    if (limit < kMinMatch) continue;
    // Each length goes with the first offset that reaches it, in the order
    // R0, R1, R2, then the candidates nearest first.
    uint32_t longest = kMinMatch - 1;
    for (uint32_t r = 0; r < 3; ++r) {
      uint32_t offset = q.r[r];
      if (offset > pos || offset > parser->maxOffset) continue;
      const uint8_t* there = here - offset;
      if (there[0] != here[0] || there[1] != here[1]) continue;
      uint32_t length = CommonLength(there, here, 2, limit);
      if (length <= longest) continue;
      const uint32_t* row = matchCost + r * kRow;
      const uint32_t code = Step(0, r, offset);
      RelaxLengths(cost, step, i, base, row, code, longest + 1, length);
      longest = length;
    }
    for (uint32_t m = parser->firstMatch[i]; m < parser->firstMatch[i + 1]; ++m) {
      const Match& match = parser->matches[m];
      // A candidate at a repeated offset is never longer than that offset's
      // match, so it is passed over here too.
      if (match.length <= longest) continue;
      int slot = PositionSlot(match.offset + 2);
      const uint32_t* row = matchCost + static_cast<uint32_t>(slot) * kRow;
      uint32_t extra = kExtraBits[slot];
      if (extra >= 3) extra += parser->alignedCost[(match.offset + 2) & 7] - 3;
      const uint32_t from = base + extra;
      const uint32_t code = Step(0, kNewOffset, match.offset);
      RelaxLengths(cost, step, i, from, row, code, longest + 1, match.length);
      longest = match.length;
    }
    // Taken at once: no step leaves the positions the match covers.
    if (longest >= take) i += longest - 1;
  }
}

// The items of the path to the run's end, and the offsets after them.
void PathItems(Parser* parser, uint32_t n, const uint8_t* data, std::vector<Item>* items,
               RepeatedOffsets* repeated) {
  // Walk back, keeping in each node's cost the step out of it.
  uint32_t* cost = parser->cost.data();
  const uint32_t* step = parser->step.data();
  for (uint32_t i = n; i > 0;) {
    uint32_t from = i - StepLength(step[i]);
    cost[from] = i;
    i = from;
  }
  RepeatedOffsets q = *repeated;
  for (uint32_t i = 0; i < n;) {
    const uint32_t taken = step[cost[i]];
    const uint32_t length = StepLength(taken);
    if (length == 1) {
      items->push_back(LiteralItem(data[i]));
      ++i;
      continue;
    }
    int slot;
    uint32_t extra = 0;
    if (StepRepeat(taken) < 3) {
      slot = static_cast<int>(StepRepeat(taken));
    } else {
      uint32_t formatted = StepOffset(taken) + 2;
      slot = PositionSlot(formatted);
      extra = formatted - kPositionBase[slot];
    }
    RepeatedOffsets after;
    Advance(q, taken, &after);
    q = after;
    uint32_t header = length - kMinMatch;
    uint8_t lengthSymbol = 0;
    if (header >= kPrimaryLengths) {
      lengthSymbol = static_cast<uint8_t>(header - kPrimaryLengths);
      header = kPrimaryLengths;
    }
    items->push_back(Item{static_cast<uint16_t>(kLiterals + (slot << 3) + static_cast<int>(header)), lengthSymbol,
                          extra});
    i += length;
  }
  *repeated = q;
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

void CountItems(const Item* items, size_t count, Counts* counts) {
  for (size_t i = 0; i < count; ++i) {
    const Item& item = items[i];
    ++counts->main[item.symbol];
    if (item.symbol < kLiterals) continue;
    if ((item.symbol & 7) == kPrimaryLengths) ++counts->length[item.lengthSymbol];
    int slot = ItemSlot(item);
    if (slot < 3) continue;
    int extraBits = kExtraBits[slot];
    counts->verbatimExtra += static_cast<uint64_t>(extraBits);
    if (extraBits >= 3) {
      counts->alignedHigh += static_cast<uint64_t>(extraBits - 3);
      ++counts->aligned[item.extra & 7];
    } else {
      counts->alignedHigh += static_cast<uint64_t>(extraBits);
    }
  }
}

void AddCounts(const Counts& more, Counts* counts) {
  for (int s = 0; s < kMaxMainSymbols; ++s) counts->main[s] += more.main[s];
  for (int s = 0; s < kLengthSymbols; ++s) counts->length[s] += more.length[s];
  for (int s = 0; s < kAlignedSymbols; ++s) counts->aligned[s] += more.aligned[s];
  counts->verbatimExtra += more.verbatimExtra;
  counts->alignedHigh += more.alignedHigh;
}

void ParserInit(Parser* parser, int mainSymbols, uint32_t maxOffset, uint32_t takeLength, int passes) {
  parser->passes = passes;
  parser->takeLength = takeLength;
  parser->mainSymbols = mainSymbols;
  parser->maxOffset = maxOffset;
  parser->matchCost.assign(static_cast<size_t>(kMaxPositionSlots) * kRow, 0);
  for (uint32_t& cost : parser->alignedCost) cost = 3;
}

void ParseRun(Parser* parser, MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t start, uint32_t end,
              uint32_t known, RepeatedOffsets* repeated, std::vector<Item>* items) {
  FindMatches(parser, finder, data, origin, start, end, known);
  const uint32_t n = end - start;
  const uint8_t* run = data + (start - origin);
  // The costs start from the symbols of the run before, or a guess at a
  // folder's start.
  if (start == 0) {
    memset(parser->lastMain, 0, sizeof parser->lastMain);
    memset(parser->lastLength, 0, sizeof parser->lastLength);
  }
  SetCosts(parser, parser->lastMain, parser->lastLength);
  // A folder's first run has no trees to start from but a guess: it is
  // parsed once more.
  const int passes = start == 0 && parser->passes < 2 ? 2 : parser->passes;
  std::vector<Item> trial;
  for (int pass = 1;; ++pass) {
    FindPath(parser, parser->takeLength, data, origin, start, end, *repeated);
    if (pass >= passes) break;
    trial.clear();
    RepeatedOffsets q = *repeated;
    PathItems(parser, n, run, &trial, &q);
    Counts counts;
    CountItems(trial.data(), trial.size(), &counts);
    uint8_t mainLengths[kMaxMainSymbols];
    uint8_t lengthLengths[kLengthSymbols];
    HuffmanLengths(counts.main, parser->mainSymbols, kMaxCodeLength, mainLengths);
    HuffmanLengths(counts.length, kLengthSymbols, kMaxCodeLength, lengthLengths);
    SetCosts(parser, mainLengths, lengthLengths);
    SetAlignedCosts(parser, counts);
  }
  size_t first = items->size();
  PathItems(parser, n, run, items, repeated);
  Counts counts;
  CountItems(items->data() + first, items->size() - first, &counts);
  HuffmanLengths(counts.main, parser->mainSymbols, kMaxCodeLength, parser->lastMain);
  HuffmanLengths(counts.length, kLengthSymbols, kMaxCodeLength, parser->lastLength);
  SetAlignedCosts(parser, counts);
}

}  // namespace lzx
