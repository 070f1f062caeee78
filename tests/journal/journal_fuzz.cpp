// libFuzzer target: any bytes as a journal read back, and each of its records judged as the
// reader and the writer judge it. Reading never fails on content; a record that passes is one the
// writer writes as it is (its line reads back as the same record, which passes again), and every
// path in it can be made full.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "journal/journal_check.h"
#include "journal/journal_format.h"
#include "journal/sample_scope.h"
#include "base/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const zs::JournalScope scope = zs::test::sampleScope();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  zs::JournalImage image;
  zs::JournalState state = zs::parseJournal(bytes, image);
  if (image.validLength > bytes.size()) std::abort();
  if (state == zs::JournalState::Valid && !image.records.empty() &&
      (image.records.front().kind != zs::journal_kind::kBegin || image.installFolder != image.records.front().fields[2])) {
    std::abort();
  }
  for (const zs::JournalRecord& record : image.records) {
    if (!zs::recordPassesCheck(record, scope)) continue;
    std::string line = zs::journalLine(record.kind, record.fields);
    zs::JournalRecord again = zs::parseJournalLine(std::string_view(line).substr(0, line.size() - 1), record.number);
    if (again.kind != record.kind || again.fields != record.fields || !zs::recordPassesCheck(again, scope)) std::abort();
    for (const std::wstring& field : record.fields) {
      if (zs::isJournalPath(field) && zs::normalizePath(field).empty()) std::abort();
    }
  }
  return 0;
}
