#include "collector/backup_directory.h"

#include <windows.h>

#include <new>

#include "diagnostics/trace.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

constexpr char kServiceHostKeyNarrow[] = "Software\\Orvex Security\\Orvex Service Host\\";
constexpr wchar_t kServiceHostKey[] = L"Software\\Orvex Security\\Orvex Service Host\\";
constexpr char kBackupValueNarrow[] = "quillmark_backup";
constexpr wchar_t kBackupValue[] = L"quillmark_backup";
constexpr std::size_t kBackupCapacity = 512;

}  // namespace

bool ReadBackupDirectory(std::wstring& directory) {
  try {
    QM_TRACE(RunDriver, 27, Info, Run);
    UniqueKey key;
    if (registry::OpenKey(HKEY_LOCAL_MACHINE, kServiceHostKey, KEY_READ, key) != ERROR_SUCCESS) {
      QM_TRACE(RunDriver, 28, Error, Run, trace::Narrow(kServiceHostKeyNarrow));
      return false;
    }
    if (!key) {
      QM_TRACE(RunDriver, 29, Error, Run, trace::Narrow(kServiceHostKeyNarrow));
      return false;
    }
    std::wstring text;
    LSTATUS status = ERROR_SUCCESS;
    try {
      status = registry::ReadText(key.Get(), kBackupValue, kBackupCapacity,
                                  registry::TextTypes::AnyType, text);
    } catch (const std::bad_alloc&) {
      QM_TRACE(RunDriver, 30, Error, Run);
      return false;
    }
    if (status != ERROR_SUCCESS) {
      QM_TRACE(RunDriver, 31, Error, Run, trace::Narrow(kBackupValueNarrow));
      return false;
    }
    key.Reset();
    directory = std::move(text);
    const bool configured = !directory.empty();
    QM_TRACE(RunDriver, 32, Info, Run, trace::Narrow(TrueOrFalse(configured)));
    return configured;
  } catch (...) {
    QM_TRACE(RunDriver, 33, Error, Run, trace::Int(::GetLastError()));
    return false;
  }
}

}  // namespace qm
