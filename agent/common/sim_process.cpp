#include "common/sim_process.h"

#include "support/unique_resource.h"

namespace qm::sim {

ProcessEnd RunProcess(std::wstring command, const std::wstring& folder, HANDLE output,
                      DWORD limit_ms) {
  ProcessEnd end;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
  }
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                        &startup, &process)) {
    end.error = ::GetLastError();
    return end;
  }
  end.started = true;
  const UniqueHandle owned_process(process.hProcess);
  const UniqueHandle owned_thread(process.hThread);
  end.in_time = ::WaitForSingleObject(process.hProcess, limit_ms) == WAIT_OBJECT_0;
  if (!end.in_time) {
    ::TerminateProcess(process.hProcess, end.exit_code);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  ::GetExitCodeProcess(process.hProcess, &end.exit_code);
  return end;
}

}  // namespace qm::sim
