// Stand-in for the agent's service. What it reports to the service control
// manager follows the scenario's "service" section, read from
// <own folder>\SimAgent\scenario.json or from the file named by
// `--scenario PATH` on its command line.

#include <windows.h>

#include <atomic>
#include <string>

#include "common/scenario.h"
#include "common/scenario_error.h"
#include "common/sim_files.h"
#include "support/unique_resource.h"

namespace {

using qm::sim::ServiceBehaviour;

struct ServiceState {
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  SERVICE_STATUS status{};
  qm::UniqueHandle stop_requested;
  qm::sim::ServiceScenario scenario;
  std::wstring scenario_path;
};

ServiceState g_service;

void Report(DWORD state, DWORD accepted) {
  g_service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_service.status.dwCurrentState = state;
  g_service.status.dwControlsAccepted = accepted;
  g_service.status.dwWin32ExitCode = NO_ERROR;
  if (state == SERVICE_START_PENDING) {
    ++g_service.status.dwCheckPoint;
    g_service.status.dwWaitHint = 5000;
  } else {
    g_service.status.dwCheckPoint = 0;
    g_service.status.dwWaitHint = 0;
  }
  ::SetServiceStatus(g_service.status_handle, &g_service.status);
}

constexpr DWORD kRunningControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;

DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, 0);
      ::SetEvent(g_service.stop_requested.Get());
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSED, kRunningControls);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_RUNNING, kRunningControls);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      Report(g_service.status.dwCurrentState, g_service.status.dwControlsAccepted);
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// Stays in "start pending" for `seconds` (forever when INFINITE), renewing
// the checkpoint so the manager sees progress; a stop request ends it early.
bool StayStartPending(DWORD seconds) {
  const ULONGLONG deadline = seconds == INFINITE ? ~0ULL : ::GetTickCount64() + seconds * 1000ULL;
  // A start-pending service normally refuses controls; accepting STOP here
  // lets the installer end it cleanly.
  while (::GetTickCount64() < deadline) {
    Report(SERVICE_START_PENDING, SERVICE_ACCEPT_STOP);
    if (::WaitForSingleObject(g_service.stop_requested.Get(), 500) == WAIT_OBJECT_0) return false;
  }
  return true;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_service.status_handle = ::RegisterServiceCtrlHandlerExW(L"", HandleControl, nullptr);
  if (g_service.status_handle == nullptr) return;
  bool reach_running = true;
  switch (g_service.scenario.behaviour) {
    case ServiceBehaviour::StartPending:
      reach_running = StayStartPending(INFINITE);
      break;
    case ServiceBehaviour::StartsLater:
      reach_running = StayStartPending(g_service.scenario.start_delay_seconds);
      break;
    default:
      break;
  }
  if (reach_running) {
    Report(SERVICE_RUNNING, kRunningControls);
    if (g_service.scenario.behaviour == ServiceBehaviour::Paused)
      Report(SERVICE_PAUSED, kRunningControls);
    ::WaitForSingleObject(g_service.stop_requested.Get(), INFINITE);
  }
  Report(SERVICE_STOPPED, 0);
}

std::wstring ScenarioPathFrom(int argc, wchar_t** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wstring(argv[i]) == L"--scenario") return argv[i + 1];
  }
  return qm::sim::ScenarioPathOf(nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_service.stop_requested.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  try {
    const auto document = qm::sim::ReadScenarioDocument(ScenarioPathFrom(argc, argv));
    if (document.is_object() && document.contains("service")) {
      g_service.scenario = qm::sim::ParseServiceSection(document["service"]);
    }
  } catch (const qm::sim::ScenarioError&) {
    return 2;  // a service that cannot read its scenario never starts
  }
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), ServiceMain}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
