// Turns a frame into literals and matches: lazy matching over the match
// finder's candidates and the three repeated offsets, scored by the bits
// each choice would cost with the trees of the block before.

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

// What the parser takes each symbol to cost, in bits.
struct SymbolCosts {
  uint8_t main[kMaxMainSymbols];
  uint8_t length[kLengthSymbols];
};

// Costs from the code lengths of the last block's main and length trees (a
// main tree of `mainSymbols`); a symbol without a code is taken to be rare,
// and trees still all zero, at a folder's start, give a generic guess.
void EstimateCosts(const uint8_t* main, const uint8_t* length, int mainSymbols, SymbolCosts* costs);

// Appends to `items` the parse of folder positions [start, end) (one frame),
// whose bytes are in `data` from folder offset `origin` on, known up to
// `end`. No match reaches past `end` or before the folder's start, none
// further back than the window. Updates `repeated` as a decoder will.
void ParseFrame(MatchFinder* finder, const SymbolCosts& costs, const uint8_t* data, uint32_t origin, uint32_t start,
                uint32_t end, RepeatedOffsets* repeated, std::vector<Item>* items);

// The bytes `item` stands for.
inline uint32_t ItemLength(const Item& item) {
  if (item.symbol < kLiterals) return 1;
  uint32_t header = item.symbol & 7;
  return kMinMatch + header + (header == kPrimaryLengths ? item.lengthSymbol : 0);
}

// Updates `repeated` as decoding `count` items does.
void ReplayOffsets(const Item* items, size_t count, RepeatedOffsets* repeated);

}  // namespace lzx

#endif  // LZX_PARSER_H_
