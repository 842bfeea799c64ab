#include "tests/support/shipped_record.h"

#include "fs/sha256.h"

namespace {

std::string Le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>(value >> (8 * i));
  return out;
}

}  // namespace

std::string RecordBytes(const std::vector<Shipment>& entries, unsigned version) {
  std::string record = "DMRC" + Le(version, 2) + Le(static_cast<uint32_t>(entries.size()), 2);
  for (const Shipment& e : entries) {
    Sha256 hash;
    Sha256Start(&hash);
    Sha256Take(&hash, e.content.data(), e.content.size());
    uint8_t digest[kSha256Size];
    Sha256End(&hash, digest);
    record += static_cast<char>(e.kind);
    record += static_cast<char>(e.name.size());
    record += e.name + Le(static_cast<uint32_t>(e.content.size()), 4) +
              std::string(reinterpret_cast<const char*>(digest), kSha256Size);
  }
  return record;
}

ScopedShippedRecord::ScopedShippedRecord(const std::vector<Shipment>& entries) : bytes_(RecordBytes(entries)) {
  Shipped.bytes = reinterpret_cast<const uint8_t*>(bytes_.data());
  Shipped.size = static_cast<uint32_t>(bytes_.size());
}

ScopedShippedRecord::~ScopedShippedRecord() {
  Shipped = ShippedRecord{NULL, 0};
}
