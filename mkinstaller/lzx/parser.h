// Turns a run of frames into literals and matches: the cheapest path
// through the run with the match finder's candidates and the three repeated
// offsets, where each choice costs the bits the run's own trees would give
// it. The trees are not known before the path is, so the path is found
// again with the trees of the last one: first with those of the run before
// (or a guess at a folder's start), then with its own.

#ifndef LZX_PARSER_H_
#define LZX_PARSER_H_

#include <stdint.h>

#include <vector>

#include "format.h"
#include "match_finder.h"

namespace lzx {

// The repeated offsets, most recent first; a folder starts with 1, 1, 1.
struct RepeatedOffsets {
  uint32_t r[3] = {1, 1, 1};
};

// The bytes `item` stands for.
inline uint32_t ItemLength(const Item& item) {
  if (item.symbol < kLiterals) return 1;
  uint32_t header = item.symbol & 7;
  return kMinMatch + header + (header == kPrimaryLengths ? item.lengthSymbol : 0);
}

// Updates `repeated` as decoding `count` items does.
void ReplayOffsets(const Item* items, size_t count, RepeatedOffsets* repeated);

// The symbol counts of a run of items.
struct Counts {
  uint32_t main[kMaxMainSymbols] = {};
  uint32_t length[kLengthSymbols] = {};
  uint32_t aligned[kAlignedSymbols] = {};
  uint64_t verbatimExtra = 0;  // Extra bits as a verbatim block writes them.
  uint64_t alignedHigh = 0;    // Those an aligned block writes as they are.
};

void CountItems(const Item* items, size_t count, Counts* counts);
void AddCounts(const Counts& more, Counts* counts);

struct Parser {
  int passes = 0;
  uint32_t takeLength = 0;  // A match this long is taken at once.
  int mainSymbols = 0;
  uint32_t maxOffset = 0;
  // What each choice costs, in bits: literals, a match's main and length
  // symbols by slot and length (extra bits apart).
  uint32_t literalCost[kLiterals];
  std::vector<uint32_t> matchCost;  // [slot * (kMaxMatch + 1) + length]
  uint32_t alignedCost[kAlignedSymbols];
  uint8_t lastMain[kMaxMainSymbols];      // The code lengths the run before would have had.
  uint8_t lastLength[kLengthSymbols];  // The low 3 extra bits of a new offset, by their value.
  std::vector<Match> matches;       // The run's candidates, position by position.
  std::vector<uint32_t> firstMatch; // Per position of the run: its first in `matches`, and one past the last.
  // Per position of the run: the cost of the cheapest way to it, the step
  // it ends with, and the repeated offsets it leaves.
  std::vector<uint32_t> cost;
  std::vector<uint32_t> step;
  std::vector<RepeatedOffsets> after;
};

// Prepares `parser` for a folder with a main tree of `mainSymbols`.
void ParserInit(Parser* parser, int mainSymbols, uint32_t maxOffset, uint32_t takeLength, int passes);

// Appends to `items` the parse of folder positions [start, end), whose
// bytes are in `data` from folder offset `origin` on, with `known` bytes
// known from `start` on (at least end - start; more lets the match finder
// compare further). No item runs over a frame's end; no match reaches
// before the folder's start or further back than the window. Runs are
// parsed in order, each from its folder's start on. Updates `repeated` as
// a decoder will.
void ParseRun(Parser* parser, MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t start, uint32_t end,
              uint32_t known, RepeatedOffsets* repeated, std::vector<Item>* items);

// The item of a literal.
inline Item LiteralItem(uint8_t byte) { return Item{byte, 0, 0}; }

}  // namespace lzx

#endif  // LZX_PARSER_H_
