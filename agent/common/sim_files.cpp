#include "common/sim_files.h"

#include <vector>

#include "support/unique_resource.h"

namespace qm::sim {

std::wstring ModuleFolder(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      std::wstring path(buffer.data(), length);
      const size_t slash = path.find_last_of(L"\\/");
      return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

HMODULE ThisModule() noexcept {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::string SystemErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  const UniqueLocalMemory owner(text);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  while (!message.empty() &&
         (message.back() == '\r' || message.back() == '\n' || message.back() == ' ')) {
    message.pop_back();
  }
  const std::string number = "(error " + std::to_string(error) + ")";
  return message.empty() ? number : message + " " + number;
}

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) {
  std::wstring path(folder);
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  path += name;
  return path;
}

std::wstring SimFolderOf(std::wstring_view agent_folder) {
  return JoinPath(agent_folder, L"SimAgent");
}

std::wstring ScenarioPathOf(HMODULE module) {
  return JoinPath(SimFolderOf(ModuleFolder(module)), L"scenario.json");
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size)) return false;
  if (size.QuadPart > 64 * 1024 * 1024) {
    ::SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  std::string content(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!content.empty() && (!::ReadFile(file.Get(), content.data(),
                                       static_cast<DWORD>(content.size()), &read, nullptr) ||
                           read != content.size())) {
    return false;
  }
  bytes = std::move(content);
  return true;
}

bool WriteWholeFile(const std::wstring& path, std::string_view bytes) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return bytes.empty() || (::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr) &&
                           written == bytes.size());
}

bool AppendLine(const std::wstring& path, std::string_view line) {
  std::string record(line);
  record += '\n';
  // Exclusive access keeps lines of concurrent writers whole; a writer that
  // finds the file taken retries for up to about two seconds.
  for (int attempt = 0; attempt < 200; ++attempt) {
    UniqueFile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      DWORD written = 0;
      return ::WriteFile(file.Get(), record.data(), static_cast<DWORD>(record.size()), &written,
                         nullptr) &&
             written == record.size();
    }
    if (::GetLastError() != ERROR_SHARING_VIOLATION) return false;
    ::Sleep(10);
  }
  return false;
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool EnsureFolder(const std::wstring& folder) {
  if (folder.empty()) return false;
  if (FolderExists(folder)) return true;
  const size_t slash = folder.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 2) {
    if (!EnsureFolder(folder.substr(0, slash))) return false;
  }
  return ::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool DeleteFolderTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry{};
  HANDLE search = ::FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = JoinPath(folder, name);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        (void)DeleteFolderTree(path);
      } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
  }
  return ::RemoveDirectoryW(folder.c_str()) || !FolderExists(folder);
}

std::wstring FileNameOf(std::wstring_view path) {
  const size_t slash = path.find_last_of(L"\\/");
  return std::wstring(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
}

}  // namespace qm::sim
