#include "common/sim_process.h"

#include "support/unique_resource.h"

namespace qm::sim {
namespace {

// A job that ends every process in it when its last handle goes: a run ended
// at its time limit then takes along what it started (simagent starts the
// program), so nothing of it holds the instance mutex or the installation.
UniqueHandle KillOnCloseJob() {
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job && !::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                        sizeof(limits))) {
    job.Reset();
  }
  return job;
}

}  // namespace

ProcessEnd RunProcess(std::wstring command, const std::wstring& folder, HANDLE output,
                      DWORD limit_ms) {
  ProcessEnd end;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
  }
  // Only a run with a limit can be cut short; the job is for that alone.
  const UniqueHandle job = limit_ms == INFINITE ? UniqueHandle() : KillOnCloseJob();
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        folder.c_str(), &startup, &process)) {
    end.error = ::GetLastError();
    return end;
  }
  end.started = true;
  const UniqueHandle owned_process(process.hProcess);
  const UniqueHandle owned_thread(process.hThread);
  // Without a job, only the process itself can be ended at the limit.
  const bool in_job = job && ::AssignProcessToJobObject(job.Get(), process.hProcess);
  ::ResumeThread(process.hThread);
  end.in_time = ::WaitForSingleObject(process.hProcess, limit_ms) == WAIT_OBJECT_0;
  if (!end.in_time) {
    if (!in_job || !::TerminateJobObject(job.Get(), end.exit_code)) {
      ::TerminateProcess(process.hProcess, end.exit_code);
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  ::GetExitCodeProcess(process.hProcess, &end.exit_code);
  return end;
}

}  // namespace qm::sim
