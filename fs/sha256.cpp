#include "fs/sha256.h"

#include <cpuid.h>
#include <immintrin.h>
#include <string.h>

static const uint32_t kRounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static uint32_t Rotate(uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

// Mixes one 64-byte block into the state.
static void Compress(uint32_t* state, const uint8_t* block) {
  uint32_t words[64];
  for (int i = 0; i < 16; ++i) {
    words[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotate(words[i - 15], 7) ^ Rotate(words[i - 15], 18) ^ (words[i - 15] >> 3);
    const uint32_t s1 = Rotate(words[i - 2], 17) ^ Rotate(words[i - 2], 19) ^ (words[i - 2] >> 10);
    words[i] = words[i - 16] + s0 + words[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + kRounds[i] +
                        words[i];
    const uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

// The same rounds with the processor's SHA instructions, several times as
// fast: `count` blocks of 64 bytes. The state is kept as the instructions
// want it, A B E F in one register and C D G H in the other.
__attribute__((target("sha,sse4.1,ssse3"))) static void CompressWithInstructions(uint32_t* state,
                                                                                   const uint8_t* blocks,
                                                                                   size_t count) {
  const __m128i kByteOrder = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i low = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i high = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(low, high, 8);
  __m128i cdgh = _mm_blend_epi16(high, low, 0xF0);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abefBefore = abef;
    const __m128i cdghBefore = cdgh;
    __m128i words[4];
    for (int group = 0; group < 16; ++group) {
      __m128i& current = words[group % 4];
      if (group < 4)
        current = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)),
                                   kByteOrder);
      __m128i message =
          _mm_add_epi32(current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRounds + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      // The schedule: the words of four rounds on finish from these.
      if (group >= 3 && group <= 14) {
        __m128i& next = words[(group + 1) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(current, words[(group + 3) % 4], 4));
        next = _mm_sha256msg2_epu32(next, current);
      }
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
      if (group >= 1 && group <= 12) {
        __m128i& previous = words[(group + 3) % 4];
        previous = _mm_sha256msg1_epu32(previous, current);
      }
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Whether the processor has the SHA instructions (and the SSE versions the
// code around them needs): asked once.
static int Instructions = -1;
static bool HasInstructions() {
  if (Instructions < 0) {
    unsigned a, b, c, d;
    const bool sse = __get_cpuid(1, &a, &b, &c, &d) && (c & bit_SSE4_1) && (c & bit_SSSE3);
    Instructions = sse && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA) ? 1 : 0;
  }
  return Instructions == 1 && Sha256Instructions;
}

bool Sha256Instructions = true;

// Mixes `count` blocks of 64 bytes into the state.
static void CompressBlocks(uint32_t* state, const uint8_t* blocks, size_t count) {
  if (HasInstructions()) {
    CompressWithInstructions(state, blocks, count);
    return;
  }
  for (; count > 0; --count, blocks += 64)
    Compress(state, blocks);
}

void Sha256Start(Sha256* hash) {
  static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(hash->state, kInitial, sizeof(kInitial));
  hash->length = 0;
  hash->pendingCount = 0;
}

void Sha256Take(Sha256* hash, const void* bytes, size_t count) {
  const uint8_t* in = static_cast<const uint8_t*>(bytes);
  hash->length += count;
  if (hash->pendingCount != 0) {
    const size_t taken = count < 64 - hash->pendingCount ? count : 64 - hash->pendingCount;
    memcpy(hash->pending + hash->pendingCount, in, taken);
    hash->pendingCount += taken;
    in += taken;
    count -= taken;
    if (hash->pendingCount < 64)
      return;
    CompressBlocks(hash->state, hash->pending, 1);
    hash->pendingCount = 0;
  }
  CompressBlocks(hash->state, in, count / 64);
  in += count / 64 * 64;
  count %= 64;
  memcpy(hash->pending, in, count);
  hash->pendingCount = count;
}

void Sha256End(Sha256* hash, uint8_t* digest) {
  const uint64_t bits = hash->length * 8;
  static const uint8_t kPadding[64] = {0x80};
  // A single 1 bit, zeros up to 56 bytes into a block, the length in bits.
  const size_t padding = hash->pendingCount < 56 ? 56 - hash->pendingCount : 120 - hash->pendingCount;
  Sha256Take(hash, kPadding, padding);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i)
    length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Sha256Take(hash, length, sizeof(length));
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(hash->state[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(hash->state[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(hash->state[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(hash->state[i]);
  }
}
