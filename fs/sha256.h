// SHA-256, for checking files that lie beside the installer against the
// sizes and hashes its signed image records.

#ifndef INSTALLER_FS_SHA256_H_
#define INSTALLER_FS_SHA256_H_

#include <stddef.h>
#include <stdint.h>

static const size_t kSha256Size = 32;

struct Sha256 {
  uint32_t state[8];
  uint64_t length;  // Bytes taken so far.
  uint8_t pending[64];
  size_t pendingCount;
};

// Whether the processor's SHA instructions are used where it has them (the
// portable code otherwise); tests turn it off to check the portable code.
extern bool Sha256Instructions;

// Starts a hash; takes `count` bytes; ends it, writing the 32-byte digest to
// `digest` (the state is then spent).
void Sha256Start(Sha256* hash);
void Sha256Take(Sha256* hash, const void* bytes, size_t count);
void Sha256End(Sha256* hash, uint8_t* digest);

#endif  // INSTALLER_FS_SHA256_H_
