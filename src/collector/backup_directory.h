#pragma once

#include <string>

namespace qm {

// Reads the directory into which each data file is also copied (the agent's
// "quillmark_backup" setting, at most 512 characters). True when one is
// configured; `directory` is untouched when the value cannot be read.
[[nodiscard]] bool ReadBackupDirectory(std::wstring& directory);

}  // namespace qm
