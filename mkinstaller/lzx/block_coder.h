// Codes a block: a run of items and the bytes they stand for, as a verbatim
// block, an aligned-offset block or an uncompressed block, whichever takes
// fewest bits.

#ifndef LZX_BLOCK_CODER_H_
#define LZX_BLOCK_CODER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "bit_writer.h"
#include "format.h"
#include "parser.h"

namespace lzx {

// The tree lengths of the folder's last coded block: a block's trees are
// stored as differences to them. All zero when a folder starts.
struct TreeLengths {
  uint8_t main[kMaxMainSymbols] = {};
  uint8_t length[kLengthSymbols] = {};
};

// A block as it will be written: its type, trees and size in bits.
struct BlockPlan {
  int type = kBlockVerbatim;
  uint64_t bits = 0;
  uint8_t main[kMaxMainSymbols];
  uint8_t length[kLengthSymbols];
  uint8_t aligned[kAlignedSymbols];
};

// Plans the block of `count` items that stand for `size` bytes, with a main
// tree of `mainSymbols` symbols and its trees stored against `previous`:
// the cheapest of verbatim, aligned and (when `mayStore`) uncompressed.
// Returns false with `error` set when a tree it built is not a complete
// code.
bool PlanBlock(const TreeLengths& previous, int mainSymbols, const Item* items, size_t count, uint32_t size,
               bool mayStore, BlockPlan* plan, std::string* error);

// Writes the planned block, whose bytes are `bytes`, and updates
// `previous`. An uncompressed block stores `after`, the repeated offsets in
// force once it is decoded, and its bytes are followed by a pad byte when
// their number is odd.
void WriteBlock(BitWriter* out, TreeLengths* previous, int mainSymbols, const BlockPlan& plan, const Item* items,
                size_t count, const uint8_t* bytes, uint32_t size, const RepeatedOffsets& after);

}  // namespace lzx

#endif  // LZX_BLOCK_CODER_H_
