#include "diagnostics/file_writer.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "diagnostics/trace.h"
#include "support/text.h"

namespace qm {
namespace {

constexpr wchar_t kDefaultPath[] = L".\\quillmark.dat";

// The largest parts a path may be split into, terminators included.
constexpr std::size_t kDriveCapacity = 3;
constexpr std::size_t kPartCapacity = 256;

struct PathParts {
  std::wstring_view drive;
  std::wstring_view directory;
  std::wstring_view name;
  std::wstring_view extension;
};

bool IsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

// Splits like the C runtime's path splitter, but a part that would not fit
// its buffer is an error instead of a truncated or overrun part.
PathParts SplitPath(std::wstring_view path) {
  PathParts parts;
  if (path.size() >= 2 && path[1] == L':') {
    parts.drive = path.substr(0, 2);
    path.remove_prefix(2);
  }
  std::size_t name_start = 0;
  for (std::size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1])) {
      name_start = i;
      break;
    }
  }
  parts.directory = path.substr(0, name_start);
  const std::wstring_view file = path.substr(name_start);
  const std::size_t dot = file.rfind(L'.');
  parts.name = dot == std::wstring_view::npos ? file : file.substr(0, dot);
  parts.extension = dot == std::wstring_view::npos ? std::wstring_view() : file.substr(dot);

  if (parts.drive.size() >= kDriveCapacity || parts.directory.size() >= kPartCapacity ||
      parts.name.size() >= kPartCapacity || parts.extension.size() >= kPartCapacity) {
    throw std::length_error("path part too long");
  }
  return parts;
}

int LastErrorCode() noexcept { return static_cast<int>(::GetLastError()); }

}  // namespace

std::wstring GetTempDirectory() {
  // The path may change between asking for its length and reading it; a few
  // rounds settle that, after which the system is taken to have none.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD needed = ::GetTempPathW(0, nullptr);
    if (needed == 0) break;
    std::wstring buffer(needed, L'\0');
    const DWORD length = ::GetTempPathW(needed, buffer.data());
    if (length == 0) break;
    if (length < needed) {
      buffer.resize(length);
      return buffer;
    }
  }
  throw TempDirectoryError();
}

std::wstring BuildDataFilePath(std::wstring_view muid) {
  std::wstring path = GetTempDirectory();
  path += muid;
  path += L".dat";
  return path;
}

std::wstring UtcTimestamp() {
  try {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"%04u%02u%02u_%02u%02u%02u%03u",
                  static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
                  static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
                  static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond),
                  static_cast<unsigned>(now.wMilliseconds));
    return text;
  } catch (...) {
    QM_TRACE(DataFile, 34, Error, DataFile, trace::Int(LastErrorCode()));
    return {};
  }
}

std::wstring MakeUniquePath(std::wstring_view path) {
  try {
    const PathParts parts = SplitPath(path);
    std::wstring unique;
    unique.append(parts.drive).append(parts.directory).append(parts.name);
    unique.append(L"_").append(UtcTimestamp()).append(parts.extension);
    QM_TRACE(DataFile, 39, Info, DataFile, trace::AnsiOf(unique));
    return unique;
  } catch (...) {
    QM_TRACE(DataFile, 40, Error, DataFile, trace::Int(LastErrorCode()));
    return {};
  }
}

std::wstring FileNameOf(std::wstring_view path) {
  try {
    const PathParts parts = SplitPath(path);
    std::wstring name(parts.name);
    name.append(parts.extension);
    QM_TRACE(DataFile, 37, Info, DataFile, trace::AnsiOf(name));
    return name;
  } catch (...) {
    QM_TRACE(DataFile, 38, Error, DataFile, trace::Int(LastErrorCode()));
    return {};
  }
}

CFileWriter::CFileWriter(std::wstring_view path, bool locking, bool unique)
    : path_(path.empty() ? std::wstring_view(kDefaultPath) : path) {
  if (unique) path_ = MakeUniquePath(path_);
  if (locking) {
    QM_TRACE(DataFile, 10, Info, DataFile);
    lock_.emplace();
    locking_ = true;
  }
}

CFileWriter::~CFileWriter() {
  QM_TRACE(DataFile, 11, Info, DataFile);
  {
    const auto guard = Guard();
    if (file_) {
      QM_TRACE(DataFile, 13, Info, DataFile);
      file_.Reset();
    }
  }
  if (locking_) {
    QM_TRACE(DataFile, 12, Info, DataFile);
    lock_.reset();
    locking_ = false;
  }
}

std::unique_lock<std::mutex> CFileWriter::Guard() const {
  return locking_ ? std::unique_lock<std::mutex>(*lock_) : std::unique_lock<std::mutex>();
}

std::wstring CFileWriter::GetFilePath() const { return path_; }

bool CFileWriter::IsOpen() const {
  const auto guard = Guard();
  return file_.IsValid();
}

bool CFileWriter::Write(std::wstring_view text) noexcept {
  try {
    QM_TRACE(DataFile, 14, Info, DataFile);
    if (!IsOpen()) Open();
    if (!IsOpen()) {
      QM_TRACE(DataFile, 15, Error, DataFile, trace::Wide(path_));
      return false;
    }
    return AppendText(text);
  } catch (...) {
    QM_TRACE(DataFile, 16, Error, DataFile, trace::Int(LastErrorCode()));
    return false;
  }
}

void CFileWriter::Open() noexcept {
  try {
    if (path_.empty()) {
      QM_TRACE(DataFile, 20, Error, DataFile);
      return;
    }
    const auto guard = Guard();
    OpenLocked();
  } catch (...) {
    QM_TRACE(DataFile, 23, Error, DataFile, trace::Int(LastErrorCode()));
  }
}

void CFileWriter::OpenLocked() {
  // Opening twice would lose the first handle; the open file is the one.
  if (!file_) {
    file_.Reset(::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  if (!file_) {
    const int error = LastErrorCode();
    QM_TRACE(DataFile, 22, Info, DataFile, trace::AnsiOf(path_), trace::Int(error));
    return;
  }
  QM_TRACE(DataFile, 21, Info, DataFile, trace::AnsiOf(path_));
}

bool CFileWriter::AppendText(std::wstring_view text) {
  try {
    const auto guard = Guard();
    if (!file_) {
      QM_TRACE(DataFile, 29, Error, DataFile);
      return false;
    }
    if (text.empty()) {
      QM_TRACE(DataFile, 30, Error, DataFile);
      return false;
    }
    const std::string bytes = ToAnsi(text);
    // A text that converts to nothing was not appended, whatever the file says.
    LARGE_INTEGER origin{};
    bool ok = !bytes.empty() && ::SetFilePointerEx(file_.Get(), origin, nullptr, FILE_END) != FALSE;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, MAXDWORD));
      DWORD written = 0;
      ok = ::WriteFile(file_.Get(), bytes.data() + done, chunk, &written, nullptr) != FALSE &&
           written > 0;
      done += written;
    }
    if (!ok) {
      const int error = LastErrorCode();
      QM_TRACE(DataFile, 31, Error, DataFile, trace::Int(error));
      return false;
    }
    QM_TRACE(DataFile, 32, Info, DataFile);
    return true;
  } catch (...) {
    QM_TRACE(DataFile, 33, Error, DataFile, trace::Int(LastErrorCode()));
    return false;
  }
}

bool CFileWriter::Close() noexcept {
  try {
    {
      const auto guard = Guard();
      file_.Reset();
    }
    QM_TRACE(DataFile, 27, Info, DataFile);
    return true;
  } catch (...) {
    QM_TRACE(DataFile, 28, Error, DataFile, trace::Int(LastErrorCode()));
    return false;
  }
}

void CFileWriter::Delete() noexcept {
  try {
    if (IsOpen()) (void)Close();
    if (::DeleteFileW(path_.c_str())) {
      QM_TRACE(DataFile, 24, Info, DataFile, trace::AnsiOf(path_));
    } else {
      QM_TRACE(DataFile, 25, Error, DataFile, trace::AnsiOf(path_));
    }
  } catch (...) {
    QM_TRACE(DataFile, 26, Error, DataFile, trace::Int(LastErrorCode()));
  }
}

bool CFileWriter::CopyTo(std::wstring_view directory) noexcept {
  try {
    if (directory.empty()) {
      QM_TRACE(DataFile, 41, Error, DataFile);
      return false;
    }
    if (IsOpen()) (void)Close();
    std::wstring target(directory);
    target.append(L"\\").append(FileNameOf(path_));
    const bool copied = ::CopyFileW(path_.c_str(), target.c_str(), TRUE) != FALSE;
    if (copied) {
      QM_TRACE(DataFile, 42, Info, DataFile, trace::AnsiOf(target));
    } else {
      QM_TRACE(DataFile, 43, Error, DataFile, trace::AnsiOf(target));
    }
    return copied;
  } catch (...) {
    QM_TRACE(DataFile, 44, Error, DataFile, trace::Int(LastErrorCode()));
    return false;
  }
}

}  // namespace qm
