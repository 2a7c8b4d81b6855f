#pragma once

#include <windows.h>

#include <functional>

#include "support/unique_resource.h"

namespace qm {

// The agent's main service, which must run before the SDK is touched.
inline constexpr wchar_t kAgentServiceName[] = L"VelaServiceMain";
inline constexpr DWORD kServicePauseMilliseconds = 10000;
inline constexpr int kServiceWaitBudget = 300;
inline constexpr int kServiceWaitStep = 10;

// Owner of a handle to the local service control manager, opened with all
// access. The handle stays empty when opening fails.
class CServiceManager {
 public:
  CServiceManager();

  [[nodiscard]] SC_HANDLE Get() const noexcept { return handle_.Get(); }
  void Close() noexcept { handle_.Reset(); }

 private:
  UniqueServiceHandle handle_;
};

// One reading of a service's status: opening the service, then querying it.
struct ServiceStatusReading {
  enum class Outcome { NotOpened, NotQueried, Read };
  Outcome outcome = Outcome::NotOpened;
  DWORD state = 0;  // valid when Read
  DWORD error = 0;  // the system's error when not Read
};

// Opens the service with the query-status right and reads its status record.
[[nodiscard]] ServiceStatusReading ReadServiceStatus(SC_HANDLE manager,
                                                     const wchar_t* service_name);

// What a service wait needs from the machine; by default the real service
// control manager and Sleep. Tests build one that runs the whole 300-second
// course in milliseconds against scripted service states.
struct ServiceWaitPlatform {
  std::function<ServiceStatusReading(SC_HANDLE manager, const wchar_t* service_name)> read_status =
      ReadServiceStatus;
  std::function<void(DWORD milliseconds)> pause = [](DWORD milliseconds) { ::Sleep(milliseconds); };
};

// True when the service is running; `error` is the failed call's error, else 0.
[[nodiscard]] bool IsServiceRunning(const ServiceWaitPlatform& platform, SC_HANDLE manager,
                                    const wchar_t* service_name, DWORD& error);

// Reads the service's current state; `state` is untouched on failure.
[[nodiscard]] bool QueryServiceState(const ServiceWaitPlatform& platform, SC_HANDLE manager,
                                     const wchar_t* service_name, DWORD& state);

// One traced readiness check of the agent service.
[[nodiscard]] bool CheckAgentService(const ServiceWaitPlatform& platform, DWORD& error);

// Waits until the agent service runs: gives up at once when it is not
// installed, otherwise re-checks every 10 s for up to 300 s.
[[nodiscard]] bool WaitForAgentService(const ServiceWaitPlatform& platform);

}  // namespace qm
