#pragma once

// The data file that carries the profile document to the upload: built in the
// temp directory, named after the MUID and a UTC timestamp, appended to in the
// thread's ANSI code page, copied to a backup directory and deleted at the end.

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/unique_resource.h"

namespace qm {

// The system gave no temp directory, so no data file path can be built.
class TempDirectoryError : public std::runtime_error {
 public:
  TempDirectoryError() : std::runtime_error("Could not get system temp path") {}
};

// The system's temp directory with its trailing separator. Throws
// TempDirectoryError when there is none.
[[nodiscard]] std::wstring GetTempDirectory();

// Temp directory + MUID + ".dat". Throws TempDirectoryError.
[[nodiscard]] std::wstring BuildDataFilePath(std::wstring_view muid);

// `path` with "_" and UtcTimestamp() inserted before its extension; empty when
// a part of the path is longer than a path part may be.
[[nodiscard]] std::wstring MakeUniquePath(std::wstring_view path);

// "YYYYMMDD_HHMMSSmmm" of the current UTC time.
[[nodiscard]] std::wstring UtcTimestamp();

// The file name and extension of `path`; empty when a part is too long.
[[nodiscard]] std::wstring FileNameOf(std::wstring_view path);

// Owns one data file: its path, an optional lock and the open handle. Opens
// lazily on the first Write; every write appends at the end. Others may read,
// write and delete the file while it is open.
class CFileWriter {
 public:
  // An empty path means ".\quillmark.dat". With `unique` the name gains
  // "_" and a UTC timestamp; with `locking` the handle is guarded by a lock.
  CFileWriter(std::wstring_view path, bool locking, bool unique);
  virtual ~CFileWriter();

  CFileWriter(const CFileWriter&) = delete;
  CFileWriter& operator=(const CFileWriter&) = delete;

  [[nodiscard]] std::wstring GetFilePath() const;
  [[nodiscard]] bool IsOpen() const;

  // Appends `text` in the thread's ANSI code page, opening the file first
  // when it is closed. Failures are traced, never raised; true only when the
  // whole text reached the file.
  bool Write(std::wstring_view text) noexcept;
  // Opens the file, or creates it when it does not exist.
  void Open() noexcept;
  // Closes the file when it is open; false only when closing raised.
  [[nodiscard]] bool Close() noexcept;
  // Closes and deletes the file.
  void Delete() noexcept;
  // Closes the file and copies it into `directory` under its own name,
  // refusing to overwrite an existing file.
  [[nodiscard]] bool CopyTo(std::wstring_view directory) noexcept;

 private:
  [[nodiscard]] std::unique_lock<std::mutex> Guard() const;
  void OpenLocked();
  [[nodiscard]] bool AppendText(std::wstring_view text);

  std::wstring path_;
  mutable std::optional<std::mutex> lock_;
  bool locking_ = false;
  UniqueFile file_;
};

}  // namespace qm
