// The nearest earlier position with the same 3-byte prefix comes from a
// table of the latest position per prefix hash; the rest from binary trees
// over 4-byte prefixes (smaller trees, shorter walks). A walk keeps two open links: where the
// next node smaller than the new position goes, and where the next larger
// one goes. Each node it meets shares at least the shorter of the two
// lengths matched so far with the new position, so comparing starts there.
// A node matched over the nice length is as good as the new position from
// then on: its subtrees become the new position's, and it leaves the tree.

#include "match_finder.h"

namespace lzx {

namespace {

// Twice as many trees as the window has positions, at most 2^20: few
// prefixes share a tree by chance.
inline int HashBits(int windowBits) { return windowBits + 1 < 20 ? windowBits + 1 : 20; }
constexpr int kHash3Bits = 16;
constexpr uint32_t kMaxOffset2 = 128;

inline uint32_t Hash3(const uint8_t* p) {
  uint32_t prefix = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                    static_cast<uint32_t>(p[2]) << 16;
  return (prefix * 2654435761u) >> (32 - kHash3Bits);
}

inline uint32_t Hash4(const uint8_t* p, int shift) {
  uint32_t prefix;
  memcpy(&prefix, p, 4);
  return (prefix * 2654435761u) >> shift;
}

template <bool kReport>
int Walk(MatchFinder* finder, const uint8_t* here, uint32_t pos, uint32_t known, Match* matches) {
  finder->next = pos + 1;
  uint32_t limit = known < finder->niceLength ? known : finder->niceLength;
  uint32_t best = 2;
  int count = 0;
  // Two bytes are worth a match only close by.
  uint32_t& latest2 = finder->latest2[static_cast<uint32_t>(here[0]) | static_cast<uint32_t>(here[1]) << 8];
  if (kReport && latest2 != kNoPosition && pos - latest2 <= kMaxOffset2) {
    matches[count++] = Match{2, pos - latest2};
  }
  latest2 = pos;
  uint32_t& latest = finder->latest3[Hash3(here)];
  if (kReport && latest != kNoPosition && pos - latest <= finder->maxOffset) {
    const uint8_t* there = here - (pos - latest);
    uint32_t length = CommonLength(there, here, 0, limit);
    if (length >= 3) {
      best = length;
      matches[count++] = Match{length, pos - latest};
    }
  }
  latest = pos;
  uint32_t& slot = finder->root[Hash4(here, finder->hashShift)];
  uint32_t node = slot;
  slot = pos;
  // Stores through the links may alias the finder's fields: the walk reads
  // them once.
  uint32_t* const children = finder->children.data();
  const uint32_t windowMask = finder->windowMask;
  const uint32_t maxOffset = finder->maxOffset;
  uint32_t* smaller = &children[2 * (pos & windowMask)];
  uint32_t* larger = smaller + 1;
  uint32_t smallerLength = 0;
  uint32_t largerLength = 0;
  for (int depth = finder->maxDepth;; --depth) {
    if (node == kNoPosition || pos - node > maxOffset || depth == 0) {
      *smaller = kNoPosition;
      *larger = kNoPosition;
      return count;
    }
    const uint8_t* there = here - (pos - node);
    uint32_t* links = &children[2 * (node & windowMask)];
    // Both subtrees are fetched while the bytes decide which one the walk
    // takes. A prefetch never faults, so a child out of reach costs nothing
    // but the fetch.
    const uintptr_t at = reinterpret_cast<uintptr_t>(here);
    __builtin_prefetch(&children[2 * (links[0] & windowMask)]);
    __builtin_prefetch(&children[2 * (links[1] & windowMask)]);
    __builtin_prefetch(reinterpret_cast<const void*>(at - (pos - links[0])));
    __builtin_prefetch(reinterpret_cast<const void*>(at - (pos - links[1])));
    uint32_t length = smallerLength < largerLength ? smallerLength : largerLength;
    length = CommonLength(there, here, length, limit);
    if (kReport && length > best) {
      best = length;
      if (count == kMaxMatches) --count;
      matches[count++] = Match{length, pos - node};
    }
    if (length >= limit) {
      // Equal over the nice length: the node's subtrees are the new
      // position's. Equal only as far as the bytes are known: which of the
      // two is smaller is not known, so the subtrees are let go (taking them
      // over would misorder the tree, and later walks would take lengths
      // from it that are not there).
      bool equal = limit == finder->niceLength;
      *smaller = equal ? links[0] : kNoPosition;
      *larger = equal ? links[1] : kNoPosition;
      return count;
    }
    if (there[length] < here[length]) {
      *smaller = node;
      smaller = &links[1];
      smallerLength = length;
      node = *smaller;
    } else {
      *larger = node;
      larger = &links[0];
      largerLength = length;
      node = *larger;
    }
  }
}

}  // namespace

void MatchFinderInit(MatchFinder* finder, int windowBits, int maxDepth, uint32_t niceLength) {
  finder->maxOffset = (1u << windowBits) - 3;
  finder->windowMask = (1u << windowBits) - 1;
  finder->maxDepth = maxDepth;
  finder->niceLength = niceLength;
  finder->hashShift = 32 - HashBits(windowBits);
  finder->next = 0;
  finder->root.assign(size_t{1} << HashBits(windowBits), kNoPosition);
  finder->latest3.assign(size_t{1} << kHash3Bits, kNoPosition);
  finder->latest2.assign(size_t{1} << 16, kNoPosition);
  finder->children.assign(size_t{2} << windowBits, kNoPosition);
}

void MatchFinderPrefetch(const MatchFinder* finder, const uint8_t* here, uint32_t pos, int stage) {
  uint32_t hash = Hash4(here, finder->hashShift);
  if (stage == 0) {
    __builtin_prefetch(&finder->root[hash]);
    __builtin_prefetch(&finder->latest3[Hash3(here)]);
    return;
  }
  uint32_t node = finder->root[hash];
  if (node == kNoPosition || pos - node > finder->maxOffset) return;
  const uint32_t* links = &finder->children[2 * (node & finder->windowMask)];
  if (stage == 1) {
    __builtin_prefetch(links);
    __builtin_prefetch(here - (pos - node));
    return;
  }
  const uintptr_t at = reinterpret_cast<uintptr_t>(here);
  __builtin_prefetch(&finder->children[2 * (links[0] & finder->windowMask)]);
  __builtin_prefetch(&finder->children[2 * (links[1] & finder->windowMask)]);
  __builtin_prefetch(reinterpret_cast<const void*>(at - (pos - links[0])));
  __builtin_prefetch(reinterpret_cast<const void*>(at - (pos - links[1])));
}

int MatchFinderFind(MatchFinder* finder, const uint8_t* here, uint32_t pos, uint32_t known, Match* matches) {
  return Walk<true>(finder, here, pos, known, matches);
}

void MatchFinderSkip(MatchFinder* finder, const uint8_t* here, uint32_t pos, uint32_t known) {
  Walk<false>(finder, here, pos, known, nullptr);
}

}  // namespace lzx
