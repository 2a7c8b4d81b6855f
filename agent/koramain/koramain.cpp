// Stand-in for the agent's main process: it only has to exist, from the
// agent's folder, until it is told to stop.

#include <windows.h>

#include <string>

#include "common/agent_names.h"
#include "support/unique_resource.h"

int wmain() {
  const std::wstring name =
      qm::sim::kMainProcessStopEventPrefix + std::to_wstring(::GetCurrentProcessId());
  qm::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  if (!stop) return 1;
  ::WaitForSingleObject(stop.Get(), INFINITE);
  return 0;
}
