#include "run/probes.h"

#include <tlhelp32.h>

#include <array>
#include <cwchar>
#include <vector>

#include "diagnostics/trace.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

constexpr std::wstring_view kTestModeSwitch = L"/TestMode";
constexpr DWORD kSnapshotEverything = 0xF;
constexpr DWORD kProcessEntrySize = 556;
constexpr DWORD kProcessQueryAndRead = 0x410;
constexpr std::size_t kPathCapacity = 260;
constexpr wchar_t kUidsKey[] = L"SOFTWARE\\Orvex Software\\Setup\\UIDS";

static_assert(sizeof(PROCESSENTRY32W) == kProcessEntrySize || sizeof(void*) != 4,
              "the process entry record of a 32-bit build is 556 bytes");

std::wstring UpperCaseAscii(const wchar_t* text) {
  std::wstring upper(text);
  for (wchar_t& c : upper) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return upper;
}

// Makes the folder of the process's main module the current directory.
// False only when the process cannot be opened.
bool EnterFolderOfProcess(DWORD process_id) {
  UniqueHandle process(::OpenProcess(kProcessQueryAndRead, FALSE, process_id));
  if (!process) return false;
  std::array<wchar_t, kPathCapacity> path{};
  // The image path is the main module's path. The system keeps it with the
  // process, whereas the module list would have to be read out of the other
  // process's memory, which costs a pass through the server per read.
  DWORD length = static_cast<DWORD>(path.size());
  if (!::QueryFullProcessImageNameW(process.Get(), 0, path.data(), &length) || length == 0 ||
      length >= path.size()) {
    return true;
  }
  std::array<wchar_t, _MAX_DRIVE> drive{};
  std::array<wchar_t, _MAX_DIR> directory{};
  if (::_wsplitpath_s(path.data(), drive.data(), drive.size(), directory.data(), directory.size(),
                      nullptr, 0, nullptr, 0) != 0) {
    return true;
  }
  const std::wstring folder = std::wstring(drive.data()) + directory.data();
  // Where the directory cannot be entered the markers simply stay where they are.
  (void)::SetCurrentDirectoryW(folder.c_str());
  return true;
}

// Version.dll's entry points, resolved at run time.
using GetFileVersionInfoSizeWFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoWFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueWFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

// Loads Version.dll from the system folder: the current directory is the
// agent's folder by now, and a library of that name there must not be taken.
UniqueModule LoadSystemVersionLibrary() {
  std::array<wchar_t, kPathCapacity> system{};
  const UINT length = ::GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
  if (length == 0 || length >= system.size()) return UniqueModule();
  const std::wstring path = std::wstring(system.data(), length) + L"\\Version.dll";
  return UniqueModule(::LoadLibraryW(path.c_str()));
}

bool ReadOwnModulePath(std::array<wchar_t, kPathCapacity>& path) {
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  return length != 0 && length < path.size();
}

void AppendHex4(std::wstring& text, WORD value) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) text.push_back(kDigits[(value >> shift) & 0xF]);
}

}  // namespace

bool IsTestModeRequested(int argc, const wchar_t* const* argv) noexcept {
  if (argv == nullptr) return false;
  for (int i = 0; i < argc; ++i) {
    const wchar_t* argument = argv[i];
    if (argument == nullptr) continue;
    const std::size_t length = ::wcsnlen(argument, kTestModeSwitch.size());
    if (length == kTestModeSwitch.size() &&
        EqualsIgnoringAsciiCase(std::wstring_view(argument, length), kTestModeSwitch)) {
      return true;
    }
  }
  return false;
}

bool FindAgentProcess() { return FindProcessAndEnterItsFolder(kAgentProcessName); }

bool FindProcessAndEnterItsFolder(std::wstring_view upper_case_image_name) {
  UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(kSnapshotEverything, 0));
  if (!snapshot) return false;

  PROCESSENTRY32W entry{};
  entry.dwSize = kProcessEntrySize;
  (void)::Process32FirstW(snapshot.Get(), &entry);
  // The first entry is the idle process on Windows; under Wine it can be a
  // real one, and nothing is lost by looking at it too.
  if (!::Process32FirstW(snapshot.Get(), &entry)) return false;

  bool found = false;
  do {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    if (UpperCaseAscii(entry.szExeFile) != upper_case_image_name) continue;
    if (EnterFolderOfProcess(entry.th32ProcessID)) found = true;
  } while (::Process32NextW(snapshot.Get(), &entry));
  return found;
}

void ReadInstallUid(std::wstring& install_uid) {
  UniqueKey key;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kUidsKey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
    return;
  std::wstring uid;
  if (registry::ReadText(key.Get(), L"InstUID", kPathCapacity, registry::TextTypes::AnyType, uid) ==
      ERROR_SUCCESS) {
    install_uid = uid;
    QM_TRACE(RunDriver, 34, Error, Run, trace::Wide(uid));
  } else {
    QM_TRACE(RunDriver, 35, Error, Run);
  }
}

std::wstring StringFileInfoPath(WORD language, WORD code_page, std::wstring_view name) {
  std::wstring path = L"\\StringFileInfo\\";
  AppendHex4(path, language);
  AppendHex4(path, code_page);
  path += L'\\';
  path += name;
  return path;
}

bool ReadOwnFileVersion(std::wstring& version) {
  const UniqueModule library = LoadSystemVersionLibrary();
  if (!library) return false;
  const auto get_size =
      GetProcAddressAs<GetFileVersionInfoSizeWFn>(library.Get(), "GetFileVersionInfoSizeW");
  const auto query = GetProcAddressAs<VerQueryValueWFn>(library.Get(), "VerQueryValueW");
  const auto get_info =
      GetProcAddressAs<GetFileVersionInfoWFn>(library.Get(), "GetFileVersionInfoW");
  if (get_size == nullptr || query == nullptr || get_info == nullptr) return false;

  std::array<wchar_t, kPathCapacity> own_path{};
  if (!ReadOwnModulePath(own_path)) return false;
  DWORD ignored = 0;
  const DWORD size = get_size(own_path.data(), &ignored);
  if (size == 0) return false;
  std::vector<BYTE> info(static_cast<std::size_t>(size) + 1, 0);
  if (!get_info(own_path.data(), 0, size, info.data())) return false;

  void* translations = nullptr;
  UINT translations_size = 0;
  if (!query(info.data(), L"\\VarFileInfo\\Translation", &translations, &translations_size) ||
      translations == nullptr || translations_size < 2 * sizeof(WORD)) {
    return false;
  }
  const auto* first = static_cast<const WORD*>(translations);
  const std::wstring path = StringFileInfoPath(first[0], first[1], L"FileVersion");

  void* text = nullptr;
  UINT text_length = 0;
  if (!query(info.data(), path.c_str(), &text, &text_length) || text == nullptr) return false;
  // The reported length may or may not count the terminator; the text stops
  // at the first one within it either way.
  const auto* characters = static_cast<const wchar_t*>(text);
  const std::size_t length = ::wcsnlen(characters, text_length);
  if (length == 0) return false;
  version.assign(characters, length);
  return true;
}

}  // namespace qm
