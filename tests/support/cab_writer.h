// Cabinets made by the tests: a small writer for crafted cases (chosen
// attributes, times, reserved areas, names the installer must refuse) and a
// runner for the platform's own cabinet tool, which lays out realistic
// multi-volume sets.

#ifndef INSTALLER_TESTS_SUPPORT_CAB_WRITER_H_
#define INSTALLER_TESTS_SUPPORT_CAB_WRITER_H_

#include <stdint.h>

#include <string>
#include <vector>

struct CabEntry {
  std::string name;  // Stored as is: bytes of the archive's own code page.
  std::string data;
  uint16_t attribs = 0x20;
  uint16_t date = (44 << 9) | (6 << 5) | 15;  // 2024-06-15
  uint16_t time = (13 << 11) | (37 << 5) | 21;  // 13:37:42
  uint16_t folder = 0;  // Index into CabLayout::folders, when that is given.
};

// The folder's compression type as the format stores it. LZX carries its
// window size in bits 8-12: 0x1503 is the 2 MiB window of the shipped payload.
enum CabCompression : uint16_t {
  kCabStored = 0,
  kCabMszip = 1,
  kCabLzx15 = 0x0f03,
  kCabLzx21 = 0x1503,
};

struct CabLayout {
  CabCompression compression = kCabStored;
  // Sizes of the reserved areas; any of them non-zero writes all three sizes.
  uint16_t headerReserve = 0;
  uint8_t folderReserve = 0;
  uint8_t dataReserve = 0;
  uint16_t setId = 0x1234;
  uint16_t index = 0;  // Of the volume in its set.
  std::string previous, next;  // Volume names of the neighbours, if any.
  uint32_t blockSize = 0x8000;  // Uncompressed bytes per data block.
  bool checksums = false;  // Data-block checksums, as the platform's tools write them.
  // Several folders, each with its compression; entries name theirs. Empty:
  // one folder of `compression`.
  std::vector<CabCompression> folders;
};

// A cabinet holding `entries` in one folder, or in the folders of the layout.
// MSZIP data is written as stored deflate blocks and LZX data as
// uncompressed LZX blocks, one per data block: valid streams every decoder
// must take.
std::string BuildCabinet(const std::vector<CabEntry>& entries, const CabLayout& layout);

// A set of volumes named `names`, volume i holding `volumes[i]` in its own
// folder: no file runs on from one volume into the next.
std::vector<std::string> BuildCabinetSet(const std::vector<std::vector<CabEntry>>& volumes,
                                         const std::vector<std::string>& names, CabLayout layout);

// A set named `names` whose one folder, holding `entries`, runs through every
// volume: `blocksPerVolume` whole data blocks to a volume (the last takes the
// rest), each file listed, marked as continued, in every volume its data
// reaches. Split blocks come from the platform's tool (RunCabarc).
std::vector<std::string> BuildSpanningSet(const std::vector<CabEntry>& entries,
                                          const std::vector<std::string>& names, CabLayout layout,
                                          size_t blocksPerVolume);

// Runs the platform's cabinet tool (cabarc.exe) with `arguments` in the
// directory `dir`. Returns its exit code, -1 when it could not run.
int RunCabarc(const std::string& dir, const std::string& arguments);

#endif  // INSTALLER_TESTS_SUPPORT_CAB_WRITER_H_
