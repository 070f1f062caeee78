// The uninstall record: the list of everything an install put on the machine that the uninstaller
// must take away, written by every install into its folder as ZelvanUninstall.zsu and bound to the
// install's Apps & Features entry by its SHA-256 ("ZelvanSetup: ListSha").
//
// The uninstaller runs elevated and deletes what the record names, so a record is trusted only
// when its hash matches the entry's and every line passes strict path rules. Reading never raises:
// a record that cannot be used comes back as false with a short reason for the caller to log.
//
// Removing one registry line (by its Uninstall mode) lives here too, since the install (with its
// journal) and the uninstaller (without one) share it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "uninstall/record_format.h"

namespace zs {

class JournalWriter;
struct KnownFolders;

// Reads HKLM "...\Uninstall\" + entryName in the view, then folder + "\ZelvanUninstall.zsu", and
// checks it against the entry. False with the reason when it cannot be used.
bool readUninstallRecord(const std::wstring& entryName, RegView view, const std::wstring& folder,
                         const KnownFolders& folders, UninstallRecord& record, std::wstring& reason);

// A "dword" line's data as the value written: decimal digits, low 32 bits. False when the data
// is not a decimal number.
bool registryLineNumber(std::wstring_view data, uint32_t& number);

// The registry type and bytes a line writes (REG_DWORD, or REG_SZ with its terminating zero).
bool encodeRegistryLine(const RegistryLine& line, DWORD& type, std::string& bytes);

// Whether the value at the line's place still holds what the install wrote there.
bool registryValueHoldsLine(const RegistryLine& line, DWORD type, std::string_view bytes);

// Takes one line away as its Uninstall mode says: "key" removes the whole key, "value" the value
// when it still holds what was written (and then an empty HKCR key), anything else nothing. With a
// journal, every deletion is preceded by the REGOLD records that rollback needs; a journal record
// that cannot be written stops the run before the change (the journal's own failure). Otherwise
// never raises. A line outside what the setup may write is left alone. True when nothing that
// should have gone is left.
bool removeRegistryLine(const RegistryLine& line, JournalWriter* journal);

// REGOLD records for a key, each of its values, and then each subkey the same way, depth first:
// enough for rollback to put the whole key back. False when a key could not be listed (what was
// recorded so far stays in the journal and is harmless to undo).
bool journalKeyContent(JournalWriter& journal, RegRoot root, RegView view, const std::wstring& key);

}  // namespace zs
