// Codes a block: a run of items and the bytes they stand for, as a verbatim
// block, an aligned-offset block or an uncompressed block, whichever takes
// fewest bits. A block may run over frames: its header goes where it
// starts, and its items go into the frames they fall in.

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

// Plans the block whose items have the symbol counts `counts` and stand for
// `size` bytes, with a main tree of `mainSymbols` symbols and its trees
// stored against `previous`: the cheapest of verbatim, aligned and (when
// `mayStore`) uncompressed. Every byte gets a code in the main tree, used or
// not, so that any bytes of the block may be coded as literals (the end of
// a folder cut short of its plan is). Returns false with `error` set when a
// tree it built is not a complete code.
bool PlanBlock(const TreeLengths& previous, int mainSymbols, const Counts& counts, uint32_t size, bool mayStore,
               BlockPlan* plan, std::string* error);

// The codes of a planned block's trees.
struct BlockCodes {
  uint16_t main[kMaxMainSymbols];
  uint16_t length[kLengthSymbols];
  uint16_t aligned[kAlignedSymbols];
};

// Writes the planned block's header: its type, its size and, for a verbatim
// or aligned block, its trees (then updates `previous` and sets `codes`).
// An uncompressed block's header ends with `after`, the repeated offsets in
// force once it is decoded; its bytes follow with WriteStored.
void WriteBlockHeader(BitWriter* out, TreeLengths* previous, int mainSymbols, const BlockPlan& plan, uint32_t size,
                      const RepeatedOffsets& after, BlockCodes* codes);

// Writes `count` items of a verbatim or aligned block.
void WriteItems(BitWriter* out, const BlockPlan& plan, const BlockCodes& codes, const Item* items, size_t count);

// Writes an uncompressed block's bytes, then a pad byte when `padded`.
void WriteStored(BitWriter* out, const uint8_t* bytes, uint32_t count, bool padded);

}  // namespace lzx

#endif  // LZX_BLOCK_CODER_H_
