// The LZX bit stream: bits go into 16-bit words from the most significant
// end, and the words are stored little-endian. Every frame starts on a fresh
// word, and an uncompressed block's bytes start on one too.

#ifndef LZX_BIT_WRITER_H_
#define LZX_BIT_WRITER_H_

#include <stdint.h>

#include <vector>

namespace lzx {

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out) {}

  // Appends the low `count` bits of `value` (at most 32).
  void Put(uint32_t value, int count) {
    pending_ = (pending_ << count) | (value & ((uint64_t{1} << count) - 1));
    used_ += count;
    while (used_ >= 16) {
      used_ -= 16;
      uint32_t word = static_cast<uint32_t>(pending_ >> used_) & 0xFFFF;
      out_->push_back(static_cast<uint8_t>(word));
      out_->push_back(static_cast<uint8_t>(word >> 8));
    }
  }

  // Pads with zero bits to the next word boundary; nothing when on one.
  void Align() {
    if (used_ != 0) Put(0, 16 - used_);
  }

  // The padding an uncompressed block's header ends with: 1 to 16 bits, a
  // whole word when already on a boundary (as every decoder reads it).
  void PadBeforeBytes() { Put(0, 16 - used_); }

  // Appends bytes; the stream must be on a word boundary.
  void PutBytes(const uint8_t* bytes, uint32_t count) { out_->insert(out_->end(), bytes, bytes + count); }

  bool Aligned() const { return used_ == 0; }
  uint64_t BitsWritten() const { return out_->size() * 8 + static_cast<uint64_t>(used_); }

 private:
  std::vector<uint8_t>* out_;
  uint64_t pending_ = 0;
  int used_ = 0;
};

}  // namespace lzx

#endif  // LZX_BIT_WRITER_H_
