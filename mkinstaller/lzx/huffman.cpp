// Huffman codes by the two-queue method over the symbols sorted by
// frequency; when a code comes out longer than the limit, package-merge
// instead, whose lengths are optimal for the limit. Both give complete
// codes by construction.

#include "huffman.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace lzx {

namespace {

struct Node {
  uint64_t weight;
  int left;   // -1 for a leaf.
  int right;  // For a leaf: its index among the used symbols.
};

// Plain Huffman lengths for the `n` used symbols `used` (sorted by
// frequency); returns the longest.
int PlainLengths(const uint32_t* freq, const int* used, int n, uint8_t* lengths) {
  uint64_t weight[2 * kMaxHuffmanSymbols];
  int parent[2 * kMaxHuffmanSymbols];
  int depth[2 * kMaxHuffmanSymbols];
  for (int i = 0; i < n; ++i) weight[i] = freq[used[i]];
  int leaf = 0;
  int node = n;  // The first internal node not yet merged.
  for (int made = n; made < 2 * n - 1; ++made) {
    int pick[2];
    for (int& p : pick) {
      if (leaf < n && (node >= made || weight[leaf] <= weight[node])) {
        p = leaf++;
      } else {
        p = node++;
      }
    }
    weight[made] = weight[pick[0]] + weight[pick[1]];
    parent[pick[0]] = parent[pick[1]] = made;
  }
  int longest = 0;
  depth[2 * n - 2] = 0;
  for (int k = 2 * n - 2; k-- > 0;) {
    depth[k] = depth[parent[k]] + 1;
    if (k < n) {
      lengths[used[k]] = static_cast<uint8_t>(depth[k] < 255 ? depth[k] : 255);
      if (depth[k] > longest) longest = depth[k];
    }
  }
  return longest;
}

}  // namespace

void HuffmanLengths(const uint32_t* freq, int count, int limit, uint8_t* lengths) {
  memset(lengths, 0, static_cast<size_t>(count));
  // The used symbols by frequency, equal ones in symbol order: one key each.
  uint64_t keys[kMaxHuffmanSymbols];
  int n = 0;
  for (int s = 0; s < count; ++s) {
    if (freq[s] != 0) keys[n++] = uint64_t{freq[s]} << 16 | static_cast<uint32_t>(s);
  }
  if (n < 2) {
    int first = n == 0 ? 0 : static_cast<int>(keys[0] & 0xFFFF);
    int second = first == 0 ? 1 : 0;
    lengths[first] = 1;
    lengths[second] = 1;
    return;
  }
  std::sort(keys, keys + n);
  int used[kMaxHuffmanSymbols];
  for (int i = 0; i < n; ++i) used[i] = static_cast<int>(keys[i] & 0xFFFF);
  if (PlainLengths(freq, used, n, lengths) <= limit) return;
  memset(lengths, 0, static_cast<size_t>(count));
  std::vector<Node> nodes;
  nodes.reserve(static_cast<size_t>(n) * (static_cast<size_t>(limit) + 1) * 2);
  for (int i = 0; i < n; ++i) nodes.push_back({freq[used[i]], -1, i});

  // Each round pairs the previous list into packages and merges them with
  // the leaves; after limit - 1 rounds the first 2n - 2 items of the list
  // hold every symbol as often as its code is long.
  std::vector<int> list(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) list[static_cast<size_t>(i)] = i;
  std::vector<int> merged;
  for (int round = 1; round < limit; ++round) {
    merged.clear();
    size_t leaf = 0;
    size_t pair = 0;
    while (leaf < static_cast<size_t>(n) || pair + 1 < list.size()) {
      bool takePackage = pair + 1 < list.size();
      uint64_t packageWeight = 0;
      if (takePackage) {
        packageWeight = nodes[static_cast<size_t>(list[pair])].weight +
                        nodes[static_cast<size_t>(list[pair + 1])].weight;
        if (leaf < static_cast<size_t>(n) && nodes[leaf].weight <= packageWeight) takePackage = false;
      }
      if (takePackage) {
        nodes.push_back({packageWeight, list[pair], list[pair + 1]});
        merged.push_back(static_cast<int>(nodes.size() - 1));
        pair += 2;
      } else {
        merged.push_back(static_cast<int>(leaf));
        ++leaf;
      }
    }
    list.swap(merged);
  }

  std::vector<int> stack;
  for (size_t i = 0; i < static_cast<size_t>(2 * n - 2); ++i) {
    stack.push_back(list[i]);
    while (!stack.empty()) {
      const Node& node = nodes[static_cast<size_t>(stack.back())];
      stack.pop_back();
      if (node.left < 0) {
        ++lengths[used[static_cast<size_t>(node.right)]];
      } else {
        stack.push_back(node.left);
        stack.push_back(node.right);
      }
    }
  }
}

void HuffmanCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  constexpr int kMaxBits = 16;
  uint32_t perLength[kMaxBits + 1] = {};
  for (int s = 0; s < count; ++s) ++perLength[lengths[s]];
  perLength[0] = 0;
  uint32_t next[kMaxBits + 2] = {};
  uint32_t code = 0;
  for (int bits = 1; bits <= kMaxBits; ++bits) {
    code = (code + perLength[bits - 1]) << 1;
    next[bits] = code;
  }
  for (int s = 0; s < count; ++s) {
    codes[s] = lengths[s] != 0 ? static_cast<uint16_t>(next[lengths[s]]++) : 0;
  }
}

bool HuffmanComplete(const uint8_t* lengths, int count, int limit) {
  uint64_t sum = 0;
  for (int s = 0; s < count; ++s) {
    if (lengths[s] > limit) return false;
    if (lengths[s] != 0) sum += uint64_t{1} << (limit - lengths[s]);
  }
  return sum == (uint64_t{1} << limit);
}

}  // namespace lzx
