// Code lengths the LZX encoder builds: complete, within the limit, and as
// short as the limit allows, also where a plain Huffman code would be too
// long (frequencies like Fibonacci numbers) or where too few symbols are
// used for a code at all. Built with the host's compiler by roundtrip.py.

#include <stdio.h>

#include <vector>

#include "mkinstaller/lzx/huffman.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what, int count, int limit) {
  if (!ok) {
    printf("FAIL: %s (%d symbols, limit %d)\n", what, count, limit);
    ++failures;
  }
}

unsigned long long Cost(const std::vector<uint32_t>& freq, const std::vector<uint8_t>& lengths) {
  unsigned long long bits = 0;
  for (size_t s = 0; s < freq.size(); ++s) bits += static_cast<unsigned long long>(freq[s]) * lengths[s];
  return bits;
}

void Case(const std::vector<uint32_t>& freq, int limit, unsigned long long expectedCost) {
  const int count = static_cast<int>(freq.size());
  std::vector<uint8_t> lengths(freq.size());
  lzx::HuffmanLengths(freq.data(), count, limit, lengths.data());
  Check(lzx::HuffmanComplete(lengths.data(), count, limit), "not a complete code within the limit", count, limit);
  int coded = 0;
  for (size_t s = 0; s < freq.size(); ++s) {
    if (freq[s] != 0) Check(lengths[s] != 0, "a used symbol without a code", count, limit);
    coded += lengths[s] != 0;
  }
  Check(coded >= 2, "fewer than two codes", count, limit);
  if (expectedCost != 0) Check(Cost(freq, lengths) == expectedCost, "not the cheapest code", count, limit);
}

}  // namespace

int main() {
  std::vector<uint32_t> fibonacci = {1, 1};
  while (fibonacci.size() < 30) fibonacci.push_back(fibonacci[fibonacci.size() - 1] + fibonacci[fibonacci.size() - 2]);
  Case(fibonacci, 16, 0);   // A plain code would be 29 long.
  Case(std::vector<uint32_t>(fibonacci.begin(), fibonacci.begin() + 20), 15, 0);
  std::vector<uint32_t> eight = {1, 2, 4, 8, 16, 32, 64, 128};
  Case(eight, 7, 0);
  // Limited to 3 bits, eight symbols must all take 3.
  Case(eight, 3, 3ull * (1 + 2 + 4 + 8 + 16 + 32 + 64 + 128));
  // Unlimited enough: the plain Huffman cost (5+5+...): 1,1,2,3,5 -> 4,4,3,2,1.
  Case({1, 1, 2, 3, 5}, 16, 4 + 4 + 6 + 6 + 5);
  Case({0, 0, 7, 0}, 16, 7);  // One symbol used: it and another get a bit each.
  Case({0, 0, 0, 0}, 16, 0);  // None used: still two codes.
  std::vector<uint32_t> flat(656, 3);
  Case(flat, 16, 0);
  return failures == 0 ? 0 : 1;
}
