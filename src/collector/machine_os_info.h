#pragma once

// What the operating-system block reads from the machine itself rather than
// from the agent: the .NET Framework versions and the Windows 10 build.

#include <windows.h>

#include <optional>
#include <string>

namespace qm {

// The lexicographically greatest "Version" of the installed .NET Framework
// versions (ordinal comparison: "4.9" beats "4.10", as the stored profiles
// have always had it). True when one was found.
[[nodiscard]] bool ReadNetVersionInstalled(std::wstring& version);

// The .NET Framework 4 "Release" number as signed decimal text; `release` is
// left as it was when it cannot be read.
[[nodiscard]] bool ReadNetFrameworkRelease(std::wstring& release);

// The system's build number as signed decimal text; unchanged on failure.
[[nodiscard]] bool ReadWindowsBuildNumber(std::wstring& build);

// True only on a Windows 10 workstation edition. The classification is made
// once per process; a failed one is tried again at the next call.
[[nodiscard]] bool IsWindows10();

enum class WindowsClass { Windows10Workstation, Windows10Server, LaterThanWindows10, Other };

// Classifies a version record; none for a platform identifier other than 0, 1
// and 2.
[[nodiscard]] std::optional<WindowsClass> ClassifyWindows(const OSVERSIONINFOEXW& version) noexcept;

}  // namespace qm
