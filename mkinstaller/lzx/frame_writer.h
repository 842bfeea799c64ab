// Codes a folder frame by frame: keeps the window, translates x86 calls,
// parses, codes each frame as one or more blocks that end with it and pads
// it to a 16-bit word, so that every frame is one data block of the
// cabinet.

#ifndef LZX_FRAME_WRITER_H_
#define LZX_FRAME_WRITER_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "block_coder.h"
#include "match_finder.h"
#include "parser.h"

namespace lzx {

struct FrameWriter {
  int windowBits = 0;
  int mainSymbols = 0;
  uint32_t translationSize = 0;  // 0: no x86 call translation.
  uint32_t position = 0;         // Folder offset of the next frame.
  uint32_t frames = 0;
  bool ended = false;            // A short frame came: the folder is over.
  std::vector<uint8_t> buffer;   // The window before the frame, then the frame.
  uint32_t origin = 0;           // Folder offset of buffer[0].
  uint32_t filled = 0;           // Bytes of buffer in use.
  MatchFinder finder;
  RepeatedOffsets repeated;
  TreeLengths trees;
  std::vector<Item> items;
};

// Prepares `writer` for a folder with a window of 2^`windowBits` bytes (15
// to 21) and, unless `translationSize` is 0, x86 call translation for
// programs of up to that size.
void FrameWriterInit(FrameWriter* writer, int windowBits, uint32_t translationSize);

// Codes the folder's next `size` bytes, a whole frame (32,768 bytes) or the
// folder's shorter last one, into `out` (replacing what it held): one data
// block's worth, at most 38,912 bytes. Returns false with `error` set when
// called after the last frame, or when the coder finds itself inconsistent.
bool FrameWriterCode(FrameWriter* writer, const uint8_t* data, uint32_t size, std::vector<uint8_t>* out,
                     std::string* error);

}  // namespace lzx

#endif  // LZX_FRAME_WRITER_H_
