// The install journal's bytes: the "ZSJ1\n" header, one UTF-8 line per record (the kind, then
// each field after a tab, escaped), and how a whole file reads back into a JournalImage.
//
// Portable and pure: no file access here, so the format can be tested natively. The
// Windows side (journal.h) opens, appends, flushes and reads the file through these functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace zs {

inline constexpr std::string_view kJournalHeader = "ZSJ1\n";
// Nothing larger is read back; the writer keeps every journal it makes below this size.
inline constexpr uint64_t kJournalMaxBytes = 67108864;

// The kinds, exactly as they stand in the file (compared case-sensitively).
namespace journal_kind {
inline constexpr std::wstring_view kBegin = L"BEGIN";
inline constexpr std::wstring_view kDirNew = L"DIRNEW";
inline constexpr std::wstring_view kStage = L"STAGE";
inline constexpr std::wstring_view kMove = L"MOVE";
inline constexpr std::wstring_view kPut = L"PUT";
inline constexpr std::wstring_view kPendGone = L"PENDGONE";
inline constexpr std::wstring_view kSeedNew = L"SEEDNEW";
inline constexpr std::wstring_view kKeyNew = L"KEYNEW";
inline constexpr std::wstring_view kRegOld = L"REGOLD";
inline constexpr std::wstring_view kRegNew = L"REGNEW";
inline constexpr std::wstring_view kNgenOld = L"NGENOLD";
inline constexpr std::wstring_view kNgenNew = L"NGENNEW";
inline constexpr std::wstring_view kCleanEntry = L"CLEANENTRY";
inline constexpr std::wstring_view kCleanDir = L"CLEANDIR";
inline constexpr std::wstring_view kCleanEmpty = L"CLEANEMPTY";
inline constexpr std::wstring_view kCommit = L"COMMIT";
inline constexpr std::wstring_view kEnd = L"END";
inline constexpr std::wstring_view kUndone = L"UNDONE";
}  // namespace journal_kind

// One record as read back. The number is the line's position (1 for the first line after the
// header); it is not stored in the file.
struct JournalRecord {
  int32_t number = 0;
  std::wstring kind;
  std::vector<std::wstring> fields;  // unescaped
  // False when the line was not valid UTF-8. Such a line was not written by this program (the
  // writer only produces valid UTF-8), so the path check refuses it.
  bool textValid = true;
};

struct JournalImage {
  std::vector<JournalRecord> records;
  bool committed = false;  // a COMMIT record is present
  bool ended = false;      // an END record is present
  uint64_t validLength = 0;  // just after the last complete line
  // The five BEGIN fields, when the first record is a 5-field BEGIN.
  std::wstring appVersion;
  std::wstring mode;
  std::wstring installFolder;
  std::wstring oldInstallFolder;
  std::wstring runSuffix;
};

enum class JournalState { Absent, Invalid, Valid };

// "%" -> "%25", CR -> "%0D", LF -> "%0A", tab -> "%09"; every other character as it is.
std::wstring escapeJournalField(std::wstring_view field);
// Decodes exactly those four sequences (upper-case hex only); any other "%" stays as written.
std::wstring unescapeJournalField(std::wstring_view text);

// The UTF-8 line of one record, ending in a line feed.
std::string journalLine(std::wstring_view kind, const std::vector<std::wstring>& fields);

// One line's bytes (without its line feed) as the record with the given number: the kind, then
// the fields split at tabs and unescaped. Never fails; invalid UTF-8 clears textValid.
JournalRecord parseJournalLine(std::string_view raw, int32_t number);

// Copies the five fields of a 5-field BEGIN into the image; false for any other record.
bool takeBeginFields(const JournalRecord& record, JournalImage& image);

// Reads a whole journal file's bytes. A trailing part without a line feed is a torn write and is
// left out, and so is a last line that holds a zero byte (part of it never reached the disk). Invalid: no header, or records whose first one is not a 5-field BEGIN. Files over the
// size limit never get here (the reader refuses them unread).
JournalState parseJournal(std::string_view bytes, JournalImage& image);

// Whether a file holds no more than a header a power cut tore: at most the header's length, each
// byte the header's own or zero. The header is flushed before the first record is written, so
// nothing was ever done under such a journal.
bool isTornJournalHeader(std::string_view bytes);

// An unsigned decimal of 1 to 20 digits that fits in 64 bits (the UNDONE field).
bool parseJournalNumber(std::wstring_view text, uint64_t& value);


}  // namespace zs
