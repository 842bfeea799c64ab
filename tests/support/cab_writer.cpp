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

// One data block's payload: stored as is, or as an MSZIP block made of a
// single stored deflate block (which every inflater must accept).
std::string EncodeBlock(const std::string& data, CabCompression compression) {
  if (compression == kCabStored)
    return data;
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

std::string BuildCabinet(const std::vector<CabEntry>& entries, const CabLayout& layout) {
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
  Put16(&header, 1);
  Put16(&header, static_cast<uint32_t>(entries.size()));
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

  std::string content;
  std::string files;
  for (const CabEntry& entry : entries) {
    Put32(&files, static_cast<uint32_t>(entry.data.size()));
    Put32(&files, static_cast<uint32_t>(content.size()));
    Put16(&files, 0);
    Put16(&files, entry.date);
    Put16(&files, entry.time);
    Put16(&files, entry.attribs);
    files += entry.name + '\0';
    content += entry.data;
  }

  std::string blocks;
  uint32_t blockCount = 0;
  for (size_t at = 0; at < content.size(); at += layout.blockSize) {
    const std::string piece = content.substr(at, layout.blockSize);
    const std::string encoded = EncodeBlock(piece, layout.compression);
    std::string sizes;
    Put16(&sizes, static_cast<uint32_t>(encoded.size()));
    Put16(&sizes, static_cast<uint32_t>(piece.size()));
    Put32(&blocks, layout.checksums ? Checksum(sizes, Checksum(encoded, 0)) : 0);  // 0: none.
    blocks += sizes;
    blocks += std::string(layout.dataReserve, 'D');
    blocks += encoded;
    ++blockCount;
  }

  const size_t folderSize = 8 + layout.folderReserve;
  const uint32_t filesAt = static_cast<uint32_t>(header.size() + folderSize);
  const uint32_t blocksAt = static_cast<uint32_t>(filesAt + files.size());
  std::string folder;
  Put32(&folder, blocksAt);
  Put16(&folder, blockCount);
  Put16(&folder, layout.compression);
  folder += std::string(layout.folderReserve, 'F');

  std::string cabinet = header + folder + files + blocks;
  Set32(&cabinet, 8, static_cast<uint32_t>(cabinet.size()));
  Set32(&cabinet, 16, filesAt);
  return cabinet;
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
