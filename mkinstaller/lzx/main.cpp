// lzxpack: codes one cabinet folder with LZX, for mkinstaller/mkcab.py.
//
//   lzxpack [--window BITS] [--translation SIZE] [--end OFFSET]
//           [--effort DEPTH,NICE,TAKE,PASSES] [--block-size SIZE]
//
// Reads the folder's bytes on standard input and writes each frame (32,768
// bytes, the last one shorter) coded as one data block: its coded size and
// its size as two 32-bit little-endian numbers, then the coded bytes. A
// frame's code depends on the bytes of the run of frames it lies in, so the
// frames of a run come once the run has been read. An empty folder gives one
// empty frame. BITS is 15 to 21 (default 21); SIZE is the x86 call
// translation's size, 0 for none (default 12,000,000). With --end the
// folder ends OFFSET bytes in, though the input goes on: the frames before
// come out as without --end, and the last one ends there (the input is read
// no further than its run). --effort sets how hard the encoder works, for
// measuring it (default 24,257,257,1: the match finder's depth and nice
// length, the length of a match taken at once, the passes over a run);
// --block-size lays blocks out by size instead of by cost, for tests.
// Exit status 0, or 1 with one line on standard error.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "format.h"
#include "frame_writer.h"

namespace {

// Reads up to `size` bytes, fewer only at the end of the input.
bool ReadFully(uint8_t* data, uint32_t size, uint32_t* got) {
  *got = 0;
  while (*got < size) {
    ssize_t n = read(0, data + *got, size - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<uint32_t>(n);
  }
  return true;
}

bool WriteFully(const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(1, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteRecord(const std::vector<uint8_t>& coded, uint32_t size) {
  uint8_t head[8];
  uint32_t values[2] = {static_cast<uint32_t>(coded.size()), size};
  for (int v = 0; v < 2; ++v) {
    for (int b = 0; b < 4; ++b) head[4 * v + b] = static_cast<uint8_t>(values[v] >> (8 * b));
  }
  return WriteFully(head, sizeof head) && WriteFully(coded.data(), coded.size());
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long parsed = strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || parsed > max) return false;
  *value = parsed;
  return true;
}

int Fail(const std::string& message) {
  fprintf(stderr, "lzxpack: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long windowBits = lzx::kMaxWindowBits;
  unsigned long translation = lzx::kDefaultTranslationSize;
  unsigned long end = 0xFFFFFFFFul;
  lzx::Effort effort = lzx::kDefaultEffort;
  unsigned long blockSize = 0;
  for (int i = 1; i < argc; ++i) {
    bool hasValue = i + 1 < argc;
    if (strcmp(argv[i], "--window") == 0 && hasValue) {
      if (!ParseNumber(argv[++i], lzx::kMaxWindowBits, &windowBits) || windowBits < lzx::kMinWindowBits) {
        return Fail(std::string("--window: 15 to 21, not ") + argv[i]);
      }
    } else if (strcmp(argv[i], "--translation") == 0 && hasValue) {
      if (!ParseNumber(argv[++i], 0x7FFFFFFF, &translation)) {
        return Fail(std::string("--translation: a size in bytes, not ") + argv[i]);
      }
    } else if (strcmp(argv[i], "--end") == 0 && hasValue) {
      if (!ParseNumber(argv[++i], 0xFFFFFFFEul, &end)) return Fail(std::string("--end: an offset, not ") + argv[i]);
    } else if (strcmp(argv[i], "--block-size") == 0 && hasValue) {
      if (!ParseNumber(argv[++i], 0x7FFFFFFF, &blockSize) || blockSize == 0) {
        return Fail(std::string("--block-size: a size in bytes, not ") + argv[i]);
      }
    } else if (strcmp(argv[i], "--effort") == 0 && hasValue) {
      unsigned d, n, t, p;
      if (sscanf(argv[++i], "%u,%u,%u,%u", &d, &n, &t, &p) != 4) return Fail("--effort: DEPTH,NICE,TAKE,PASSES");
      effort = lzx::Effort{static_cast<int>(d), n, t, static_cast<int>(p)};
    } else {
      return Fail(std::string("unknown argument ") + argv[i] +
                  " (usage: lzxpack [--window BITS] [--translation SIZE] [--end OFFSET])");
    }
  }

  static lzx::FrameWriter writer;
  lzx::FrameWriterInit(&writer, static_cast<int>(windowBits), static_cast<uint32_t>(translation), effort);
  writer.blockSize = static_cast<uint32_t>(blockSize);
  std::vector<uint8_t> run(lzx::kRunSize);
  std::vector<std::vector<uint8_t>> coded;
  std::string error;
  uint64_t position = 0;
  for (;;) {
    uint32_t got = 0;
    if (!ReadFully(run.data(), lzx::kRunSize, &got)) return Fail(std::string("reading: ") + strerror(errno));
    if (got == 0 && writer.frames != 0) break;
    uint32_t cut = got;
    if (end < position + got) cut = static_cast<uint32_t>(end - position);
    coded.clear();
    if (!lzx::FrameWriterCode(&writer, run.data(), got, cut, &coded, &error)) return Fail(error);
    for (size_t f = 0; f < coded.size(); ++f) {
      uint32_t offset = static_cast<uint32_t>(f) * lzx::kFrameSize;
      uint32_t size = cut - offset < lzx::kFrameSize ? cut - offset : lzx::kFrameSize;
      if (!WriteRecord(coded[f], size)) return Fail(std::string("writing: ") + strerror(errno));
    }
    position += got;
    if (got < lzx::kRunSize || cut < got) break;
  }
  if (end != 0xFFFFFFFFul && end > position) return Fail("--end: past the end of the input");
  return 0;
}
