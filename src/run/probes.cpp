#include "run/probes.h"

#include <tlhelp32.h>

#include <array>
#include <cwchar>

#include "diagnostics/trace.h"
#include "support/module_path.h"
#include "support/registry.h"
#include "support/setup_keys.h"
#include "support/text.h"
#include "support/unique_resource.h"
#include "support/version_resource.h"

namespace qm {
namespace {

constexpr std::wstring_view kTestModeSwitch = L"/TestMode";
constexpr DWORD kSnapshotEverything = TH32CS_SNAPALL;
constexpr DWORD kProcessEntrySize = 556;
constexpr DWORD kProcessQueryAndRead = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kPathCapacity = 260;

static_assert(kSnapshotEverything == 0xF);
static_assert(kProcessQueryAndRead == 0x410);

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
  if (OpenSetupUidsKey(KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return;
  std::wstring uid;
  if (registry::ReadText(key.Get(), L"InstUID", kPathCapacity, registry::TextTypes::AnyType, uid) ==
      ERROR_SUCCESS) {
    install_uid = uid;
    QM_TRACE(RunDriver, 34, Error, Run, trace::Wide(uid));
  } else {
    QM_TRACE(RunDriver, 35, Error, Run);
  }
}

bool ReadOwnFileVersion(std::wstring& version) {
  std::wstring own_path;
  if (!ReadModulePath(nullptr, kPathCapacity, own_path)) return false;
  VersionResource resource;
  if (resource.LoadFrom(own_path.c_str()) != VersionResource::Load::Loaded) return false;
  return resource.ReadText(L"FileVersion", version);
}

}  // namespace qm
