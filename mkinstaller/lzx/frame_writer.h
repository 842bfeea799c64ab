// Codes a folder a run of frames at a time: keeps the window, translates
// x86 calls, parses the run, cuts its items into blocks (which may run over
// frames, and are chosen by what they cost) and writes every frame, padded
// to a 16-bit word, as one data block of the cabinet.
//
// A frame's code depends on the run it lies in, so a folder that ends
// sooner than planned (a volume's end cuts it short) is coded again from its
// start with the planned bytes, and told where it ends: every frame before
// its last comes out as planned, and its last keeps the planned items that
// end early enough, then codes the rest as literals with the block's trees,
// which give every byte a code.

#ifndef LZX_FRAME_WRITER_H_
#define LZX_FRAME_WRITER_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "block_coder.h"
#include "match_finder.h"
#include "parser.h"

namespace lzx {

// How hard the encoder works: the match finder's depth and the length it
// compares up to, the length of a match the parser takes at once, and how
// many times a run is parsed.
struct Effort {
  int depth;
  uint32_t niceLength;
  uint32_t takeLength;
  int passes;
};

extern const Effort kDefaultEffort;

struct FrameWriter {
  int windowBits = 0;
  int mainSymbols = 0;
  uint32_t translationSize = 0;  // 0: no x86 call translation.
  uint32_t position = 0;         // Folder offset of the next run.
  uint32_t frames = 0;           // Frames coded so far.
  bool ended = false;            // A short run came: the folder is over.
  std::vector<uint8_t> buffer;   // The window before the run, then the run.
  uint32_t origin = 0;           // Folder offset of buffer[0].
  uint32_t filled = 0;           // Bytes of buffer in use.
  uint32_t blockSize = 0;        // For tests: blocks of about this size instead of by cost.
  MatchFinder finder;
  Parser parser;
  RepeatedOffsets repeated;
  TreeLengths trees;
  std::vector<Item> items;
};

// A run: this many whole frames, fewer at the folder's end.
constexpr uint32_t kRunFrames = 4;
constexpr uint32_t kRunSize = kRunFrames * kFrameSize;

// Prepares `writer` for a folder with a window of 2^`windowBits` bytes (15
// to 21) and, unless `translationSize` is 0, x86 call translation for
// programs of up to that size.
void FrameWriterInit(FrameWriter* writer, int windowBits, uint32_t translationSize, const Effort& effort);

// Codes the folder's next run, `size` bytes: kRunSize, less only where the
// folder ends. When `cut` is below `size`, the folder ends `cut` bytes into
// the run: the frames before the one it falls in come out as the whole run
// codes them, and that one ends at `cut` (none when `cut` is a frame's
// start). Appends each coded frame to `frames` (one data block's worth, at
// most 38,912 bytes). Returns false with `error` set when called after the
// folder's end, or when the coder finds itself inconsistent.
bool FrameWriterCode(FrameWriter* writer, const uint8_t* data, uint32_t size, uint32_t cut,
                     std::vector<std::vector<uint8_t>>* frames, std::string* error);

}  // namespace lzx

#endif  // LZX_FRAME_WRITER_H_
