// Finds earlier occurrences of the bytes at a position of a folder: for
// each hash of a 3-byte prefix, a binary tree of the positions with that
// hash, newest at the root, ordered by the bytes that follow them. Walking
// down from the root meets ever older positions, so the first one to reach
// a length is the nearest with it; each walk also makes the position the
// new root. Offsets reach back no further than the window allows and never
// before the folder's start.
//
// Positions are offsets in the folder. The caller keeps the folder's bytes
// in a buffer that holds at least the window before the position being
// looked up, and says how many bytes from the position on are known.

#ifndef LZX_MATCH_FINDER_H_
#define LZX_MATCH_FINDER_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace lzx {

constexpr uint32_t kNoPosition = 0xFFFFFFFF;

// How far `a` and `b` agree, from `length` (where they are known to) up to
// `limit`, comparing eight bytes at a time; reads no byte at `limit` or
// beyond.
inline uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t length, uint32_t limit) {
  while (length + 8 <= limit) {
    uint64_t x;
    uint64_t y;
    memcpy(&x, a + length, 8);
    memcpy(&y, b + length, 8);
    if (x != y) return length + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
    length += 8;
  }
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

struct MatchFinder {
  uint32_t maxOffset = 0;
  uint32_t windowMask = 0;
  int maxDepth = 0;           // Tree nodes looked at per position.
  uint32_t niceLength = 0;    // A match this long ends the walk.
  int hashShift = 0;          // Turns a prefix's product into its tree.
  uint32_t next = 0;          // The first position not yet added.
  std::vector<uint32_t> latest2;   // Per 2 bytes: the newest position, or kNoPosition.
  std::vector<uint32_t> latest3;   // Per hash of 3 bytes: the newest position, or kNoPosition.
  std::vector<uint32_t> root;      // Per hash of 4 bytes: the newest position, or kNoPosition.
  std::vector<uint32_t> children;  // Per position (modulo the window): its smaller and its larger subtree.
};

// Prepares `finder` for a folder coded with a window of 2^`windowBits`.
void MatchFinderInit(MatchFinder* finder, int windowBits, int maxDepth, uint32_t niceLength);

// One earlier occurrence: `length` bytes at `offset` bytes back.
struct Match {
  uint32_t length;
  uint32_t offset;
};

constexpr int kMaxMatches = 24;

// Adds folder position `pos` (which must be `next`), whose bytes start at
// `here` with `known` of them known (at least 4), and writes to `matches` those of at least 3
// bytes: for each length found the nearest occurrence, in order of growing
// length, compared over at most the nice length and `known` bytes. Returns
// how many (at most kMaxMatches; when there are more, the longest stays).
int MatchFinderFind(MatchFinder* finder, const uint8_t* here, uint32_t pos, uint32_t known, Match* matches);

// Asks the memory for what adding position `pos` will read first: the
// tables' entries for its prefix (stage 0), then the newest node with its
// prefix and its bytes (stage 1, once stage 0 has had time), then that
// node's two subtrees (stage 2, once stage 1 has). `here` must have 4 bytes
// known.
void MatchFinderPrefetch(const MatchFinder* finder, const uint8_t* here, uint32_t pos, int stage);

// Adds position `pos` as MatchFinderFind does, without reporting.
void MatchFinderSkip(MatchFinder* finder, const uint8_t* here, uint32_t pos, uint32_t known);

}  // namespace lzx

#endif  // LZX_MATCH_FINDER_H_
