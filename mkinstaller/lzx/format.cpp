// The position slot tables: slot s covers formatted offsets from
// kPositionBase[s] on, with kExtraBits[s] bits to tell them apart.

#include "format.h"

namespace lzx {

const uint32_t kPositionBase[kMaxPositionSlots + 1] = {
    0,       1,       2,       3,       4,       6,       8,       12,      16,      24,
    32,      48,      64,      96,      128,     192,     256,     384,     512,     768,
    1024,    1536,    2048,    3072,    4096,    6144,    8192,    12288,   16384,   24576,
    32768,   49152,   65536,   98304,   131072,  196608,  262144,  393216,  524288,  655360,
    786432,  917504,  1048576, 1179648, 1310720, 1441792, 1572864, 1703936, 1835008, 1966080,
    2097152};

const uint8_t kExtraBits[kMaxPositionSlots + 1] = {
    0,  0,  0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,  6,  6,  7,
    7,  8,  8,  9,  9,  10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15,
    16, 16, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17};

int PositionSlots(int windowBits) {
  // The first slot whose base reaches the window's size: 2 per doubling up
  // to 2^19, then 17-bit slots.
  if (windowBits == 20) return 42;
  if (windowBits == 21) return 50;
  return 2 * windowBits;
}

}  // namespace lzx
