// The LZX format as cabinet folders carry it: the numbers the match finder,
// the parser, the block coder and the frame writer share, and the item a
// parse is made of.
//
// A folder is one LZX stream. Its uncompressed bytes are cut into frames of
// 32,768 bytes (the last one shorter); each frame is coded into one data
// block of the cabinet, which every decoder decodes on its own from a fresh
// 16-bit word, so a frame's bits are padded to a 16-bit boundary and no match
// runs over a frame's end. What carries over from frame to frame: the window,
// the three repeated offsets, the tree lengths (the next block's are coded as
// differences to them) and the block in progress.

#ifndef LZX_FORMAT_H_
#define LZX_FORMAT_H_

#include <stdint.h>

namespace lzx {

constexpr uint32_t kFrameSize = 32768;
// A data block's largest coded size in a cabinet folder of this kind.
constexpr uint32_t kMaxCodedFrame = 32768 + 6144;

constexpr int kMinWindowBits = 15;
constexpr int kMaxWindowBits = 21;

constexpr uint32_t kMinMatch = 2;
constexpr uint32_t kMaxMatch = 257;

constexpr int kLiterals = 256;
constexpr int kPrimaryLengths = 7;     // Length headers 0-6 in the main symbol; 7 means "see the length tree".
constexpr int kLengthSymbols = 249;
constexpr int kPretreeSymbols = 20;
constexpr int kAlignedSymbols = 8;
constexpr int kMaxPositionSlots = 50;
constexpr int kMaxMainSymbols = kLiterals + kMaxPositionSlots * 8;

constexpr int kMaxCodeLength = 16;     // Main and length trees.
constexpr int kMaxPretreeLength = 15;  // Stored in 4 bits.
constexpr int kMaxAlignedLength = 7;   // Stored in 3 bits.

constexpr int kBlockVerbatim = 1;
constexpr int kBlockAligned = 2;
constexpr int kBlockUncompressed = 3;

// The x86 call translation: decoders undo it in the first 32,768 frames
// (1 GiB) of a folder, and not in a frame's last 10 bytes.
constexpr uint32_t kTranslatedFrames = 32768;
constexpr uint32_t kUntranslatedTail = 10;
// The translation size the platform's own cabinets declare.
constexpr uint32_t kDefaultTranslationSize = 12000000;

extern const uint32_t kPositionBase[kMaxPositionSlots + 1];
extern const uint8_t kExtraBits[kMaxPositionSlots + 1];

// How many position slots a window of 2^`windowBits` bytes has.
int PositionSlots(int windowBits);

// The slot of a formatted offset (a new offset plus 2, so at least 3).
inline int PositionSlot(uint32_t formatted) {
  if (formatted < 4) return static_cast<int>(formatted);
  if (formatted >= (1u << 18)) return 36 + static_cast<int>((formatted - (1u << 18)) >> 17);
  int top = 31 - __builtin_clz(formatted);
  return 2 * top + static_cast<int>((formatted >> (top - 1)) & 1);
}

// The largest offset a window allows (its size less 3, the largest
// formatted offset its slots can express less 2).
inline uint32_t MaxOffset(int windowBits) { return (1u << windowBits) - 3; }

// One step of a parse: a literal (`symbol` below 256) or a match, whose main
// symbol holds the position slot and the length header; `lengthSymbol` is
// meaningful when the header is 7, `extra` (the offset less the slot's base)
// when the slot is 3 or more.
struct Item {
  uint16_t symbol;
  uint8_t lengthSymbol;
  uint32_t extra;
};

inline int ItemSlot(const Item& item) { return (item.symbol - kLiterals) >> 3; }

}  // namespace lzx

#endif  // LZX_FORMAT_H_
