// Registry lines: the [Registry] entries of the script (file types, the product's own keys, the
// start-up value), each journalled so that rollback restores the exact previous state. A key that
// did not exist gets KEYNEW before it is created, a value that did not exist REGNEW, a value that
// existed REGOLD with its old type and bytes. On a repair or upgrade the lines the install no
// longer wants (task turned off, or dropped from the script) are taken away, journalled too.
#pragma once

#include <string>
#include <string_view>

#include "install/install_state.h"

namespace zs {

// The line an entry writes: root parsed, native view, type lower case, data expanded.
RegistryLine registryLineOf(const RegistryEntry& entry, const VariableTable& variables);

// Every key on the way to `key` that is missing, from the top down, each after its KEYNEW record;
// remembered in the run's keys created. Raises the registry failure for a key that cannot be made.
void createMissingKeysWithJournal(InstallRun& run, RegRoot root, RegView view, const std::wstring& key);

// One value: missing keys, then REGNEW or REGOLD for its present state, then the write. Raises the
// registry failure on any registry error.
void writeOneValue(InstallRun& run, RegRoot root, RegView view, const std::wstring& key, const std::wstring& name,
                   DWORD type, std::string_view bytes);

// The step: removes what is no longer wanted, writes every chosen line, logs the count.
void writeRegistryLines(InstallRun& run);

}  // namespace zs
