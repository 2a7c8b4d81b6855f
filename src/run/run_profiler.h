#pragma once

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "collector/profile_data_collector.h"
#include "diagnostics/file_writer.h"
#include "profile/event_sink.h"
#include "run/activation_context.h"
#include "run/probes.h"
#include "run/service_wait.h"
#include "upload/link_binding.h"
#include "upload/profile_uploader.h"

namespace qm {

class IProfileDataObserver;

// An uploader for `profile` through the communications library; null when
// none can be had.
[[nodiscard]] std::unique_ptr<ProfileUploader> CreateUploader(const IProfileDataObserver* profile,
                                                              const LinkBridgeLoader& library);

// What a run needs from the agent's machine; by default the real machine.
// Tests build their own to reach the later stages without an agent, an SDK or
// a temp directory. The caller owns it for the run; the run hands its parts
// down to what it creates.
struct RunPlatform {
  std::function<bool()> find_agent_process = FindAgentProcess;
  std::function<bool(const ServiceWaitPlatform&)> wait_for_agent_service = WaitForAgentService;
  ServiceWaitPlatform service_wait;
  std::function<const CActivationContext*()> sdk_activation_context = GetSdkActivationContext;
  // Null when no collector can be had; its failure events go to `events`.
  std::function<std::unique_ptr<ProfileDataCollector>(const CollectorPlatform&, EventSink& events)>
      create_collector = [](const CollectorPlatform& platform, EventSink& events) {
        return std::unique_ptr<ProfileDataCollector>(new (std::nothrow)
                                                         ProfileDataCollector(platform, events));
      };
  CollectorPlatform collector;
  // Throws when there is no temp directory.
  std::function<std::wstring(std::wstring_view muid)> build_data_file_path = BuildDataFilePath;
  // Null when no uploader can be had.
  std::function<std::unique_ptr<ProfileUploader>(const IProfileDataObserver* profile,
                                                 const LinkBridgeLoader& library)>
      create_uploader = CreateUploader;
  // How the upload and the tracking reach the communications library.
  LinkBridgeLoader link_bridge;
};

// One run of the profiler from start to exit code: 0 when the run reached its
// end, -1 when a stage stopped it early.
int RunProfiler(int argc, wchar_t** argv);
int RunProfiler(int argc, wchar_t** argv, const RunPlatform& platform);

}  // namespace qm
