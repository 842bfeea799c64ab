// Huffman codes as LZX stores them: code lengths only, canonical codes.

#ifndef LZX_HUFFMAN_H_
#define LZX_HUFFMAN_H_

#include <stdint.h>

namespace lzx {

constexpr int kMaxHuffmanSymbols = 1024;

// Sets `lengths[0..count)` (`count` at most kMaxHuffmanSymbols) to optimal code lengths for the frequencies
// `freq`, none longer than `limit` (2^limit must be at least `count`). The
// code is always complete, as every decoder requires: when fewer than two
// symbols are used, the first unused ones get a code too, so that two
// symbols have codes of length 1.
void HuffmanLengths(const uint32_t* freq, int count, int limit, uint8_t* lengths);

// Sets `codes` to the canonical codes of `lengths`: shorter codes first,
// symbols in order within a length, as the decoders build their tables.
void HuffmanCodes(const uint8_t* lengths, int count, uint16_t* codes);

// True when `lengths` are a complete code with none longer than `limit`.
bool HuffmanComplete(const uint8_t* lengths, int count, int limit);

}  // namespace lzx

#endif  // LZX_HUFFMAN_H_
