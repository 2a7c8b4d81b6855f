#include "run/service_wait.h"

#include "diagnostics/trace.h"

namespace qm {
namespace {

constexpr DWORD kManagerAllAccess = SC_MANAGER_ALL_ACCESS;
constexpr DWORD kServiceQueryStatus = SERVICE_QUERY_STATUS;
constexpr DWORD kStateRunning = SERVICE_RUNNING;

static_assert(kManagerAllAccess == 0xF003F);
static_assert(kServiceQueryStatus == 4);
static_assert(kStateRunning == 4);

// Names the state of a service that was found not running.
void TraceServiceState(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      QM_TRACE(RunDriver, 39, Info, Run);
      break;
    case SERVICE_START_PENDING:
      QM_TRACE(RunDriver, 40, Info, Run);
      break;
    case SERVICE_STOP_PENDING:
      QM_TRACE(RunDriver, 41, Info, Run);
      break;
    case SERVICE_CONTINUE_PENDING:
      QM_TRACE(RunDriver, 42, Info, Run);
      break;
    case SERVICE_PAUSE_PENDING:
      QM_TRACE(RunDriver, 43, Info, Run);
      break;
    case SERVICE_PAUSED:
      QM_TRACE(RunDriver, 44, Info, Run);
      break;
    // Also a failed read (0) and a service that came up between two queries (4).
    default:
      QM_TRACE(RunDriver, 45, Info, Run);
      break;
  }
}

}  // namespace

CServiceManager::CServiceManager()
    : handle_(::OpenSCManagerW(nullptr, nullptr, kManagerAllAccess)) {
  if (!handle_ && ::GetLastError() == ERROR_ACCESS_DENIED)
    QM_TRACE(ServiceControl, 12, Verbose, Run);
}

ServiceStatusReading ReadServiceStatus(SC_HANDLE manager, const wchar_t* service_name) {
  ServiceStatusReading reading;
  UniqueServiceHandle service(::OpenServiceW(manager, service_name, kServiceQueryStatus));
  if (!service) {
    reading.error = ::GetLastError();
    return reading;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
    reading.outcome = ServiceStatusReading::Outcome::NotQueried;
    reading.error = ::GetLastError();
    return reading;
  }
  reading.outcome = ServiceStatusReading::Outcome::Read;
  reading.state = status.dwCurrentState;
  return reading;
}

bool IsServiceRunning(const ServiceWaitPlatform& platform, SC_HANDLE manager,
                      const wchar_t* service_name, DWORD& error) {
  error = 0;
  const ServiceStatusReading reading = platform.read_status(manager, service_name);
  switch (reading.outcome) {
    case ServiceStatusReading::Outcome::NotOpened:
      error = reading.error;
      QM_TRACE(ServiceControl, 15, Verbose, Run, trace::Int(error));
      return false;
    case ServiceStatusReading::Outcome::NotQueried:
      error = reading.error;
      QM_TRACE(ServiceControl, 14, Verbose, Run, trace::Int(error));
      return false;
    case ServiceStatusReading::Outcome::Read:
      QM_TRACE(ServiceControl, 13, Verbose, Run, trace::Int(reading.state));
      return reading.state == kStateRunning;
  }
  return false;
}

bool QueryServiceState(const ServiceWaitPlatform& platform, SC_HANDLE manager,
                       const wchar_t* service_name, DWORD& state) {
  const ServiceStatusReading reading = platform.read_status(manager, service_name);
  if (reading.outcome != ServiceStatusReading::Outcome::Read) return false;
  state = reading.state;
  return true;
}

bool CheckAgentService(const ServiceWaitPlatform& platform, DWORD& error) {
  QM_TRACE(RunDriver, 38, Info, Run);
  CServiceManager manager;
  bool running = IsServiceRunning(platform, manager.Get(), kAgentServiceName, error);
  if (running) {
    QM_TRACE(RunDriver, 46, Info, Run);
  } else {
    DWORD state = 0;
    (void)QueryServiceState(platform, manager.Get(), kAgentServiceName, state);
    TraceServiceState(state);
  }
  manager.Close();
  return running;
}

bool WaitForAgentService(const ServiceWaitPlatform& platform) {
  DWORD error = 0;
  bool ready = CheckAgentService(platform, error);
  if (ready) return true;
  if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
    QM_TRACE(RunDriver, 37, Info, Run);
    return false;
  }
  QM_TRACE(RunDriver, 36, Info, Run);
  for (int budget = 0; budget < kServiceWaitBudget && !ready; budget += kServiceWaitStep) {
    platform.pause(kServicePauseMilliseconds);
    ready = CheckAgentService(platform, error);
  }
  return ready;
}

}  // namespace qm
