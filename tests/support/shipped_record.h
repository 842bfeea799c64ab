// Records of what a vendor shipped beside the installer, as the vendor's
// tool writes them (fs/shipped.h), and one put in force for a test.

#ifndef INSTALLER_TESTS_SUPPORT_SHIPPED_RECORD_H_
#define INSTALLER_TESTS_SUPPORT_SHIPPED_RECORD_H_

#include <string>
#include <vector>

#include "fs/shipped.h"

struct Shipment {
  int kind;  // kShippedVolume or kShippedCompanion.
  std::string name;
  std::string content;
};

// The record's bytes for `entries`, of `version`.
std::string RecordBytes(const std::vector<Shipment>& entries, unsigned version = 1);

// Puts the record of `entries` in force (Shipped) while it lives.
class ScopedShippedRecord {
 public:
  explicit ScopedShippedRecord(const std::vector<Shipment>& entries);
  ~ScopedShippedRecord();
  ScopedShippedRecord(const ScopedShippedRecord&) = delete;
  ScopedShippedRecord& operator=(const ScopedShippedRecord&) = delete;

 private:
  std::string bytes_;
};

#endif  // INSTALLER_TESTS_SUPPORT_SHIPPED_RECORD_H_
