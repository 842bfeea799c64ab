// Hash chains: the latest position for each hash of a 3-byte prefix, and for
// each position the one before it with the same hash.

#include "match_finder.h"

namespace lzx {

namespace {

// Twice as many chains as the window has positions: few prefixes share a
// chain by chance, which matters most where the data does not repeat
// (random bytes were six times slower with 2^17 chains for a 2 MiB window).
inline int HashBits(int windowBits) { return windowBits + 1; }

inline uint32_t Hash(const uint8_t* p, int shift) {
  uint32_t prefix = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                    static_cast<uint32_t>(p[2]) << 16;
  return (prefix * 2654435761u) >> shift;
}

inline void Insert(MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t pos) {
  uint32_t& slot = finder->head[Hash(data + (pos - origin), finder->hashShift)];
  finder->prev[pos & finder->chainMask] = slot;
  slot = pos + 1;
}

}  // namespace

void MatchFinderInit(MatchFinder* finder, int windowBits, int maxChain, uint32_t niceLength) {
  finder->maxOffset = (1u << windowBits) - 3;
  finder->chainMask = (1u << windowBits) - 1;
  finder->maxChain = maxChain;
  finder->niceLength = niceLength;
  finder->nextToHash = 0;
  finder->hashShift = 32 - HashBits(windowBits);
  finder->head.assign(size_t{1} << HashBits(windowBits), 0);
  finder->prev.assign(size_t{1} << windowBits, 0);
}

void MatchFinderSkipTo(MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t known, uint32_t end) {
  uint32_t last = known >= 3 ? known - 2 : 0;  // Positions with a known prefix end here.
  if (end > last) end = last;
  for (uint32_t pos = finder->nextToHash; pos < end; ++pos) Insert(finder, data, origin, pos);
  if (end > finder->nextToHash) finder->nextToHash = end;
}

int MatchFinderFind(MatchFinder* finder, const uint8_t* data, uint32_t origin, uint32_t known, uint32_t pos,
                    uint32_t maxLength, Match* matches) {
  MatchFinderSkipTo(finder, data, origin, known, pos);
  if (maxLength < 3 || pos + 3 > known) {
    MatchFinderSkipTo(finder, data, origin, known, pos + 1);
    return 0;
  }
  const uint8_t* here = data + (pos - origin);
  uint32_t best = 2;  // Only longer matches count.
  int count = 0;
  uint32_t candidate = finder->head[Hash(here, finder->hashShift)];
  for (int left = finder->maxChain; candidate != 0 && left > 0; --left) {
    uint32_t start = candidate - 1;
    uint32_t distance = pos - start;
    if (distance > finder->maxOffset) break;
    const uint8_t* there = data + (start - origin);
    if (there[best] == here[best] && there[0] == here[0] && there[1] == here[1]) {
      uint32_t length = 2;
      while (length < maxLength && there[length] == here[length]) ++length;
      if (length > best) {
        best = length;
        // A longer match further back replaces the last one kept when the
        // list is full: the longest always stays.
        if (count == kMaxMatches) --count;
        matches[count++] = Match{length, distance};
        if (length >= finder->niceLength || length == maxLength) break;
      }
    }
    candidate = finder->prev[start & finder->chainMask];
  }
  MatchFinderSkipTo(finder, data, origin, known, pos + 1);
  return count;
}

}  // namespace lzx
