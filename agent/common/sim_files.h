#pragma once

// File helpers of the simulated agent: whole-file reads and writes, JSON line
// logs shared by several processes, and the folder layout every stand-in finds
// relative to its own module.

#include <windows.h>

#include <string>
#include <string_view>

namespace qm::sim {

// Folder of a loaded module (exe or DLL), without trailing separator.
[[nodiscard]] std::wstring ModuleFolder(HMODULE module);

// Folder of the module that contains this function's caller code.
[[nodiscard]] HMODULE ThisModule() noexcept;

// "<folder>\SimAgent": where the simulation files live.
[[nodiscard]] std::wstring SimFolderOf(std::wstring_view agent_folder);

// "<folder of module>\SimAgent\scenario.json".
[[nodiscard]] std::wstring ScenarioPathOf(HMODULE module);

[[nodiscard]] std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// Reads a whole file (at most 64 MiB); false when it cannot be opened or
// read, with the system's last error saying why.
[[nodiscard]] bool ReadWholeFile(const std::wstring& path, std::string& bytes);

// Creates or replaces a file with `bytes`.
[[nodiscard]] bool WriteWholeFile(const std::wstring& path, std::string_view bytes);

// Appends `line` and a line feed to a log shared between processes; waits
// briefly when another process holds the file. False when it never got it.
[[nodiscard]] bool AppendLine(const std::wstring& path, std::string_view line);

// Creates `folder` and its missing parents; true when it exists afterwards.
[[nodiscard]] bool EnsureFolder(const std::wstring& folder);

[[nodiscard]] bool FileExists(const std::wstring& path);
[[nodiscard]] bool FolderExists(const std::wstring& path);

// Deletes a folder and everything inside it; true when it is gone.
[[nodiscard]] bool DeleteFolderTree(const std::wstring& folder);

// The system's own text for `error` and its number, e.g.
// "File not found. (error 2)"; the number alone when the system has no text.
[[nodiscard]] std::string SystemErrorText(DWORD error);

// The last path component of `path`.
[[nodiscard]] std::wstring FileNameOf(std::wstring_view path);

}  // namespace qm::sim
