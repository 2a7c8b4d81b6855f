#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

// Image name of the agent's main process, in upper case.
inline constexpr wchar_t kAgentProcessName[] = L"KORAMAIN.EXE";

// True when any argument, the program path included, starts with "/TestMode"
// in any letter case.
[[nodiscard]] bool IsTestModeRequested(int argc, const wchar_t* const* argv) noexcept;

// True when the agent's main process runs; makes the folder of its executable
// the current directory (the last match wins).
[[nodiscard]] bool FindAgentProcess();

// FindAgentProcess for any upper-case image name, so tests can use a process
// of their own.
[[nodiscard]] bool FindProcessAndEnterItsFolder(std::wstring_view upper_case_image_name);

// Reads the installation identifier into `install_uid`; a missing value
// leaves it as it was.
void ReadInstallUid(std::wstring& install_uid);

// Reads the "FileVersion" text of this program's version resource.
[[nodiscard]] bool ReadOwnFileVersion(std::wstring& version);

}  // namespace qm
