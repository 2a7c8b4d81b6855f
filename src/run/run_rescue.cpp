#include "run/run_rescue.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <iterator>

#include "diagnostics/trace.h"
#include "run/test_mode_log.h"
#include "support/environment.h"
#include "support/foreign_call_deadline.h"

namespace qm {
namespace {

constexpr int kStuckCallExit = 0;  // the exit code of a failed upload
constexpr int kUnhandledExit = -1;
constexpr std::size_t kDataFileCapacity = 1024;

// What the course needs, filled while the run goes well: no pointer into the
// run's own objects, whose owner may be the thread that is stuck.
struct RescueState {
  bool test_mode = false;
  const char* failure_message = nullptr;
  std::atomic<HANDLE> instance_mutex{nullptr};
  std::atomic<bool> has_data_file{false};
  wchar_t data_file[kDataFileCapacity] = {};
  std::atomic<bool> ending{false};
  LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;
};

RescueState g_rescue;

void CloseInstanceMutex() noexcept {
  const UniqueHandle closed(g_rescue.instance_mutex.exchange(nullptr));
}

// A library that holds the file open without sharing its deletion keeps it
// until the process ends; the system then deletes it at the next restart.
void RemoveDataFile() noexcept {
  if (!g_rescue.has_data_file.load(std::memory_order_acquire)) return;
  if (::DeleteFileW(g_rescue.data_file) || ::GetLastError() == ERROR_FILE_NOT_FOUND) return;
  const DWORD error = ::MoveFileExW(g_rescue.data_file, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)
                          ? 0
                          : ::GetLastError();
  QM_TRACE(RunDriver, 50, Error, Run, trace::Wide(g_rescue.data_file), trace::Int(error));
}

[[noreturn]] void Halt() noexcept {
  for (;;) ::Sleep(INFINITE);
}

// Ends the run from whichever thread found the case; a second thread that
// finds one meanwhile waits for the end.
[[noreturn]] void EndRunNow(int exit_code) noexcept {
  if (g_rescue.ending.exchange(true)) Halt();
  RemoveDataFile();
  if (g_rescue.test_mode) WriteFailureMarkerNow(g_rescue.failure_message);
  CloseInstanceMutex();
  QM_TRACE(RunDriver, 51, Error, Run, trace::Int(exit_code));
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exit_code));
  Halt();
}

void OnStuckCall(const char* operation, std::uint32_t waited_ms) noexcept {
  QM_TRACE(RunDriver, 48, Error, Run, trace::Narrow(operation), trace::Int(waited_ms));
  EndRunNow(kStuckCallExit);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception != nullptr && exception->ExceptionRecord != nullptr
                         ? exception->ExceptionRecord->ExceptionCode
                         : 0;
  QM_TRACE(RunDriver, 49, Error, Run, trace::Int(code), trace::Int(::GetCurrentThreadId()));
  EndRunNow(kUnhandledExit);
}

}  // namespace

std::uint32_t ForeignCallDeadlineMs() noexcept {
  wchar_t text[16] = {};
  if (!ReadEnvironmentVariable(kDeadlineVariable, text, std::size(text))) {
    return kForeignCallDeadlineMs;
  }
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (*end != L'\0' || value == 0 || value > kForeignCallDeadlineMs) return kForeignCallDeadlineMs;
  return static_cast<std::uint32_t>(value);
}

RunRescue::RunRescue(bool test_mode, const char* failure_message, UniqueHandle instance_mutex,
                     std::uint32_t deadline_ms) noexcept {
  g_rescue.test_mode = test_mode;
  g_rescue.failure_message = failure_message;
  g_rescue.has_data_file.store(false);
  g_rescue.instance_mutex.store(instance_mutex.Release());
  // Replaces the runtime's own filter, which would end the process with the
  // fault's code and leave the data file behind.
  g_rescue.previous_filter = ::SetUnhandledExceptionFilter(&OnUnhandledException);
  (void)WatchForeignCalls(deadline_ms, &OnStuckCall);
}

RunRescue::~RunRescue() {
  (void)WatchForeignCalls(0, nullptr);
  ::SetUnhandledExceptionFilter(g_rescue.previous_filter);
  ForgetDataFile();
  CloseInstanceMutex();
}

void RunRescue::WatchDataFile(const std::wstring& path) noexcept {
  g_rescue.has_data_file.store(false, std::memory_order_release);
  if (path.size() >= kDataFileCapacity) return;
  std::wmemcpy(g_rescue.data_file, path.c_str(), path.size() + 1);
  g_rescue.has_data_file.store(true, std::memory_order_release);
}

void RunRescue::ForgetDataFile() noexcept {
  g_rescue.has_data_file.store(false, std::memory_order_release);
}

void RunRescue::ReleaseInstanceMutex() noexcept { CloseInstanceMutex(); }

}  // namespace qm
