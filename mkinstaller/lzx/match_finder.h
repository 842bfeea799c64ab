// Finds earlier occurrences of the bytes at a position of a folder: hash
// chains over 3-byte prefixes, reaching back no further than the window
// allows and never before the folder's start.
//
// Positions are offsets in the folder. The caller keeps the folder's bytes
// in a buffer (`data`, whose first byte is at folder offset `origin`) that
// holds at least the window before the position being looked up, and says
// how far the bytes are known (`known`): a position's prefix is hashed only
// once its 3 bytes are known, so positions at the end of a frame join the
// chains when the next frame comes.

#ifndef LZX_MATCH_FINDER_H_
#define LZX_MATCH_FINDER_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace lzx {

struct MatchFinder {
  uint32_t maxOffset = 0;
  uint32_t chainMask = 0;
  int maxChain = 0;          // Candidates looked at per position.
  uint32_t niceLength = 0;   // A match this long ends the search.
  uint32_t nextToHash = 0;   // The first position not yet in the chains.
  int hashShift = 0;         // Turns a prefix's product into its chain.
  std::vector<uint32_t> head;  // Per hash: the latest position + 1 (0: none).
  std::vector<uint32_t> prev;  // Per position (modulo the window): the one before it + 1.
};

// Prepares `finder` for a folder coded with a window of 2^`windowBits`.
void MatchFinderInit(MatchFinder* finder, int windowBits, int maxChain, uint32_t niceLength);

// One earlier occurrence: `length` bytes at `offset` bytes back.
struct Match {
  uint32_t length;
  uint32_t offset;
};

constexpr int kMaxMatches = 16;

// The matches of at least 3 bytes for folder position `pos`, no longer than
// `maxLength`: for each length found, the nearest occurrence, in order of
// growing length (the last is the longest). Returns how many it wrote to
// `matches` (at most kMaxMatches). Hashes every position up to `pos` first,
// `pos` included.
int MatchFinderFind(MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t known, uint32_t pos,
                    uint32_t maxLength, Match* matches);

// Hashes every position before `end` whose prefix is known.
void MatchFinderSkipTo(MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t known, uint32_t end);

}  // namespace lzx

#endif  // LZX_MATCH_FINDER_H_
