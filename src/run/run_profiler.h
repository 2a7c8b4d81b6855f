#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "upload/link_binding.h"

namespace qm {

class CActivationContext;
class IProfileDataObserver;
class ProfileDataCollector;
class ProfileUploader;

// What a run needs from the agent's machine. Tests replace parts of it to
// reach the later stages without an agent, an SDK or a temp directory.
struct RunPlatform {
  bool (*find_agent_process)();
  bool (*wait_for_agent_service)();
  const CActivationContext* (*sdk_activation_context)();
  // Null when no collector can be had.
  std::unique_ptr<ProfileDataCollector> (*create_collector)();
  // Throws when there is no temp directory.
  std::wstring (*build_data_file_path)(std::wstring_view muid);
  // Null when no uploader can be had.
  std::unique_ptr<ProfileUploader> (*create_uploader)(const IProfileDataObserver* profile);
  // How tracking reaches the communications library.
  LinkBridgeLoader (*tracking_library)();
};

// The platform as the program uses it.
[[nodiscard]] const RunPlatform& SystemRunPlatform() noexcept;

// One run of the profiler from start to exit code: 0 when the run reached its
// end, -1 when a stage stopped it early.
int RunProfiler(int argc, wchar_t** argv);
int RunProfiler(int argc, wchar_t** argv, const RunPlatform& platform);

}  // namespace qm
