#include "tests/support/cab_writer.h"

#include <windows.h>

namespace {

void Put16(std::string* out, uint32_t value) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>((value >> 8) & 0xff));
}

void Put32(std::string* out, uint32_t value) {
  Put16(out, value & 0xffff);
  Put16(out, value >> 16);
}

void Set32(std::string* out, size_t at, uint32_t value) {
  std::string bytes;
  Put32(&bytes, value);
  out->replace(at, 4, bytes);
}

// Bits into 16-bit little-endian words, most significant bit first, as LZX
// reads them.
class BitWriter {
 public:
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      word_ = static_cast<uint16_t>((word_ << 1) | ((value >> i) & 1));
      if (++filled_ == 16)
        Flush();
    }
  }
  // Pads the last word with zero bits.
  std::string Finish() {
    if (filled_ != 0) {
      word_ = static_cast<uint16_t>(word_ << (16 - filled_));
      Flush();
    }
    return out_;
  }

 private:
  void Flush() {
    Put16(&out_, word_);
    word_ = 0;
    filled_ = 0;
  }
  std::string out_;
  uint16_t word_ = 0;
  int filled_ = 0;
};

// One LZX frame as an uncompressed LZX block: the first frame of a folder
// starts with the bit that says "no E8 translation"; then the block type (3),
// its length in 24 bits, padding to the next 16-bit word, the three repeated
// offsets, and the bytes as they are.
std::string EncodeLzxFrame(const std::string& data, bool firstFrame) {
  BitWriter bits;
  if (firstFrame)
    bits.Put(0, 1);
  bits.Put(3, 3);
  bits.Put(static_cast<uint32_t>(data.size()) >> 8, 16);
  bits.Put(static_cast<uint32_t>(data.size()) & 0xff, 8);
  std::string block = bits.Finish();
  for (int r = 0; r < 3; ++r)
    Put32(&block, 1);
  return block + data;
}

// One data block's payload: stored as is, as an MSZIP block made of a single
// stored deflate block (which every inflater must accept), or as LZX.
std::string EncodeBlock(const std::string& data, CabCompression compression, bool firstFrame) {
  if (compression == kCabStored)
    return data;
  if ((compression & 0xf) == 3)
    return EncodeLzxFrame(data, firstFrame);
  std::string block = "CK";
  block.push_back('\x01');  // Final block, stored.
  Put16(&block, static_cast<uint32_t>(data.size()));
  Put16(&block, static_cast<uint32_t>(~data.size() & 0xffff));
  return block + data;
}

// The cabinet format's checksum: 32-bit little-endian words XORed, the tail
// bytes taken as the high-order end of one more word.
uint32_t Checksum(const std::string& data, uint32_t seed) {
  uint32_t sum = seed;
  size_t at = 0;
  for (; at + 4 <= data.size(); at += 4) {
    sum ^= static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8 |
           static_cast<uint8_t>(data[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(data[at + 3])) << 24;
  }
  uint32_t tail = 0;
  for (; at < data.size(); ++at)
    tail = (tail << 8) | static_cast<uint8_t>(data[at]);
  return sum ^ tail;
}

}  // namespace

namespace {

// One data block as stored: its bytes and the size they unpack to (0 for the
// first part of a block that the next volume finishes).
struct DataBlock {
  std::string encoded;
  uint32_t uncompressed;
};

// The folder's data as blocks of `layout.blockSize` bytes.
std::vector<DataBlock> EncodeFolder(const std::string& content, CabCompression kind,
                                    const CabLayout& layout) {
  std::vector<DataBlock> blocks;
  for (size_t at = 0; at < content.size(); at += layout.blockSize) {
    const std::string piece = content.substr(at, layout.blockSize);
    blocks.push_back({EncodeBlock(piece, kind, at == 0), static_cast<uint32_t>(piece.size())});
  }
  return blocks;
}

void PutFile(std::string* files, const CabEntry& entry, uint32_t offset, uint16_t folder) {
  Put32(files, static_cast<uint32_t>(entry.data.size()));
  Put32(files, offset);
  Put16(files, folder);
  Put16(files, entry.date);
  Put16(files, entry.time);
  Put16(files, entry.attribs);
  *files += entry.name + '\0';
}

// A cabinet of the folders `kinds` with their `blocks` and the file table
// `files` of `fileCount` entries.
std::string Assemble(const CabLayout& layout, const std::vector<CabCompression>& kinds,
                     const std::string& files, size_t fileCount,
                     const std::vector<std::vector<DataBlock>>& blocks) {
  const bool reserves = layout.headerReserve != 0 || layout.folderReserve != 0 || layout.dataReserve != 0;
  uint16_t flags = 0;
  if (!layout.previous.empty())
    flags |= 0x1;
  if (!layout.next.empty())
    flags |= 0x2;
  if (reserves)
    flags |= 0x4;

  std::string header = "MSCF";
  Put32(&header, 0);
  Put32(&header, 0);  // Cabinet size, set below.
  Put32(&header, 0);
  Put32(&header, 0);  // Offset of the first file entry, set below.
  Put32(&header, 0);
  header += '\x03';
  header += '\x01';
  Put16(&header, static_cast<uint32_t>(kinds.size()));
  Put16(&header, static_cast<uint32_t>(fileCount));
  Put16(&header, flags);
  Put16(&header, layout.setId);
  Put16(&header, layout.index);
  if (reserves) {
    Put16(&header, layout.headerReserve);
    header += static_cast<char>(layout.folderReserve);
    header += static_cast<char>(layout.dataReserve);
    header += std::string(layout.headerReserve, 'H');
  }
  if (!layout.previous.empty())
    header += layout.previous + '\0' + "disk" + '\0';
  if (!layout.next.empty())
    header += layout.next + '\0' + "disk" + '\0';

  std::vector<std::string> data(kinds.size());
  for (size_t f = 0; f < kinds.size(); ++f) {
    for (const DataBlock& block : blocks[f]) {
      std::string sizes;
      Put16(&sizes, static_cast<uint32_t>(block.encoded.size()));
      Put16(&sizes, block.uncompressed);
      Put32(&data[f], layout.checksums ? Checksum(sizes, Checksum(block.encoded, 0)) : 0);  // 0: none.
      data[f] += sizes;
      data[f] += std::string(layout.dataReserve, 'D');
      data[f] += block.encoded;
    }
  }

  const size_t folderSize = 8 + layout.folderReserve;
  const uint32_t filesAt = static_cast<uint32_t>(header.size() + folderSize * kinds.size());
  uint32_t blocksAt = static_cast<uint32_t>(filesAt + files.size());
  std::string folders;
  for (size_t f = 0; f < kinds.size(); ++f) {
    Put32(&folders, blocksAt);
    Put16(&folders, static_cast<uint32_t>(blocks[f].size()));
    Put16(&folders, kinds[f]);
    folders += std::string(layout.folderReserve, 'F');
    blocksAt += static_cast<uint32_t>(data[f].size());
  }
  std::string cabinet = header + folders + files;
  for (const std::string& d : data)
    cabinet += d;
  Set32(&cabinet, 8, static_cast<uint32_t>(cabinet.size()));
  Set32(&cabinet, 16, filesAt);
  return cabinet;
}

}  // namespace

std::string BuildCabinet(const std::vector<CabEntry>& entries, const CabLayout& layout) {
  std::vector<CabCompression> kinds = layout.folders;
  if (kinds.empty())
    kinds.push_back(layout.compression);
  std::vector<std::string> contents(kinds.size());
  std::string files;
  for (const CabEntry& entry : entries) {
    const uint16_t folder = layout.folders.empty() ? 0 : entry.folder;
    PutFile(&files, entry, static_cast<uint32_t>(contents[folder].size()), folder);
    contents[folder] += entry.data;
  }
  std::vector<std::vector<DataBlock>> blocks;
  for (size_t f = 0; f < kinds.size(); ++f)
    blocks.push_back(EncodeFolder(contents[f], kinds[f], layout));
  return Assemble(layout, kinds, files, entries.size(), blocks);
}

std::vector<std::string> BuildSpanningSet(const std::vector<CabEntry>& entries,
                                          const std::vector<std::string>& names, CabLayout layout,
                                          size_t blocksPerVolume) {
  std::string content;
  for (const CabEntry& entry : entries)
    content += entry.data;
  const std::vector<DataBlock> blocks = EncodeFolder(content, layout.compression, layout);
  const size_t count = names.size();
  std::vector<std::string> cabinets;
  size_t fileStart = 0;
  std::vector<size_t> starts;
  for (const CabEntry& entry : entries) {
    starts.push_back(fileStart);
    fileStart += entry.data.size();
  }
  for (size_t v = 0; v < count; ++v) {
    const size_t first = v * blocksPerVolume;
    const size_t last = v + 1 < count ? first + blocksPerVolume : blocks.size();
    std::vector<DataBlock> mine(blocks.begin() + first, blocks.begin() + last);
    // The library goes on to the next volume only at a block that unpacks
    // to nothing, the first part of a block split between the volumes: an
    // empty one closes every volume but the last.
    if (v + 1 < count)
      mine.push_back({std::string(), 0});
    const size_t low = first * layout.blockSize;
    const size_t high = v + 1 < count ? last * layout.blockSize : content.size();
    std::string files;
    size_t fileCount = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      const size_t end = starts[i] + entries[i].data.size();
      const bool startsHere = starts[i] >= low && (starts[i] < high || (v + 1 == count && starts[i] == high));
      if (!startsHere && !(starts[i] < low && end > low))
        continue;
      // Continued from the previous volume, into the next, or both.
      const bool fromPrevious = starts[i] < low;
      const bool intoNext = end > high;
      const uint16_t index = fromPrevious ? (intoNext ? 0xffff : 0xfffd) : (intoNext ? 0xfffe : 0);
      // Offsets count from this volume's first block.
      PutFile(&files, entries[i], static_cast<uint32_t>(fromPrevious ? 0 : starts[i] - low), index);
      ++fileCount;
    }
    layout.index = static_cast<uint16_t>(v);
    layout.previous = v > 0 ? names[v - 1] : "";
    layout.next = v + 1 < count ? names[v + 1] : "";
    cabinets.push_back(Assemble(layout, {layout.compression}, files, fileCount, {mine}));
  }
  return cabinets;
}

std::vector<std::string> BuildCabinetSet(const std::vector<std::vector<CabEntry>>& volumes,
                                         const std::vector<std::string>& names, CabLayout layout) {
  std::vector<std::string> cabinets;
  for (size_t i = 0; i < volumes.size(); ++i) {
    layout.index = static_cast<uint16_t>(i);
    layout.previous = i > 0 ? names[i - 1] : "";
    layout.next = i + 1 < volumes.size() ? names[i + 1] : "";
    cabinets.push_back(BuildCabinet(volumes[i], layout));
  }
  return cabinets;
}

int RunCabarc(const std::string& dir, const std::string& arguments) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, NULL);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  PROCESS_INFORMATION process = {};
  std::string commandLine = "cabarc.exe " + arguments;
  DWORD code = static_cast<DWORD>(-1);
  if (CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, dir.c_str(), &startup,
                     &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  if (nul != INVALID_HANDLE_VALUE)
    CloseHandle(nul);
  return static_cast<int>(code);
}
