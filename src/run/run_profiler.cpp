#include "run/run_profiler.h"

#include <windows.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "collector/backup_directory.h"
#include "collector/profile_data_collector.h"
#include "diagnostics/file_writer.h"
#include "diagnostics/trace.h"
#include "diagnostics/trace_provider.h"
#include "profile/document_inputs.h"
#include "profile/fallback_product.h"
#include "profile/profile_data.h"
#include "run/activation_context.h"
#include "run/probes.h"
#include "run/run_rescue.h"
#include "run/service_wait.h"
#include "run/test_mode_log.h"
#include "support/text.h"
#include "support/unique_resource.h"
#include "upload/profile_uploader.h"
#include "upload/tracking.h"

namespace qm {
namespace {

// The stages of a run, in their order. Comments below name a stage by these
// names; docs/architecture.md describes them.
enum class RunStage {
  LoadTracing = 1,   // resolve the trace entry points
  RegisterProvider,  // register the trace provider; a failure is ignored
  TestMode,          // "/TestMode" and the markers of earlier runs
  SingleInstance,    // the instance mutex; a second instance stops
  AgentProcess,      // find the agent process, enter its folder
  StartTracking,     // tracking switch and resource
  AgentService,      // wait for the agent service
  IdentityValues,    // installation identifier, own file version
  SdkContext,        // obtain the SDK activation context
  Activate,          // activate it for the rest of the run
  CreateCollector,
  InitialiseCollector,
  Collect,
  TrackProfile,   // hand the profile fields to tracking
  ChangeChecks,   // changed? resend due?
  NothingToSend,  // neither: the run ends with 0
  MustSend,
  Serialise,  // the full document
  TraceDocument,
  ProfileObject,
  Deliver,         // by MUID; the steps below, or none without one
  WriteDataFile,   //   writer and path, write and close
  BackUp,          //   copy into the backup directory
  Upload,          //   upload, keep the upload state
  DeleteDataFile,  //   delete the file, destroy the writer
  ReleaseRun,      //   close the mutex, finalise the collector
  Closing,         // end tracking, closing message, unregister
};

constexpr int kRunEnded = 0;
constexpr int kRunStopped = -1;
constexpr wchar_t kInstanceMutexName[] = L"Orvex Security Profiler";
constexpr std::int32_t kMuidMissingAtRun = 3;

// The run's test-mode messages.
constexpr char kOtherInstance[] = "Hay otra instancia de Quillmark.exe ejecutandose.";
constexpr char kServiceTimeout[] = "Agotado el tiempo de espera del servicio.";
constexpr char kNoSdkContext[] = "Error obteniendo instancia de la OMX.";
constexpr char kSdkContextActive[] = "Obtenida la instancia del OMX.";
constexpr char kNoCollector[] = "Error obteniendo instancia del ProfileDataCollector.";
constexpr char kCollectorCreated[] = "Obtenida la instancia del ProfileDataCollector.";
constexpr char kInitialiseFailed[] = "Error inicializando el ProfileDataCollector.";
constexpr char kInitialised[] = "ProfileDataCollector inicializado.";
constexpr char kCollectFailed[] = "Error recopilando informacion.";
constexpr char kCollected[] = "Obtenido el perfilado.";
constexpr char kUnchanged[] = "No han cambiado los datos del perfilado.";
constexpr char kChanged[] = "Han cambiado los datos del perfilado.";
constexpr char kSerialiseFailed[] = "Error serializando los datos obtenidos.";
constexpr char kNoProfile[] = "Error obteniendo IProfileDataObserver.";
constexpr char kUploaded[] = "JSON del perfilado subido.";
constexpr char kUploadFailed[] = "Error subiendo el JSON del perfilado.";
constexpr char kRunCompleted[] = "Quillmark se ha ejecutado correctamente.";

std::unique_ptr<ProfileDataCollector> CreateCollector() {
  return std::unique_ptr<ProfileDataCollector>(new (std::nothrow) ProfileDataCollector());
}

std::wstring BuildSystemDataFilePath(std::wstring_view muid) { return BuildDataFilePath(muid); }

std::unique_ptr<ProfileUploader> CreateUploader(const IProfileDataObserver* profile) {
  try {
    return std::make_unique<ProfileUploader>(profile);
  } catch (const std::exception&) {
    return nullptr;
  }
}

constexpr RunPlatform kSystemPlatform{
    &FindAgentProcess,        &WaitForAgentService, &GetSdkActivationContext, &CreateCollector,
    &BuildSystemDataFilePath, &CreateUploader,      &SystemLinkBridgeLoader};

// A stage's message, written only in test mode.
void Note(CTestModeLog& log, const char* message) {
  if (log.IsTestMode()) log.Write(message);
}

// A failed stage's message: the run is marked failed before it is written.
void NoteFailure(CTestModeLog& log, const char* message) {
  if (!log.IsTestMode()) return;
  log.SetSuccess(false);
  log.Write(message);
}

// Keeps the trace provider registered until the run ends it, or until the
// run returns on a path that stops early.
class TraceRegistration {
 public:
  TraceRegistration() noexcept { trace::RegisterTraceProvider(); }
  ~TraceRegistration() { End(); }
  TraceRegistration(const TraceRegistration&) = delete;
  TraceRegistration& operator=(const TraceRegistration&) = delete;

  void End() noexcept {
    if (registered_) trace::UnregisterTraceProvider();
    registered_ = false;
  }

 private:
  bool registered_ = true;
};

using CollectorPtr = std::unique_ptr<ProfileDataCollector>;

void FinaliseAndDestroy(CollectorPtr& collector) {
  collector->Finalise();
  collector.reset();
}

// Collection may raise the automation wrappers' conversion errors; any of
// them means the profile could not be collected.
bool CollectSafely(ProfileDataCollector& collector) {
  try {
    return collector.Collect();
  } catch (const std::exception&) {
    return false;
  }
}

// RunStage::Upload: only a successful upload keeps the state that stops the
// next run from sending the same profile again. An uploader that cannot be
// created skips the step silently. The library may accept a path whose file
// was never written; a profile that cannot have been delivered is not
// recorded as delivered, so the next run sends it again.
void UploadDataFile(const RunPlatform& platform, ProfileDataCollector& collector,
                    IProfileDataObserver& profile, const std::wstring& data_file_path, bool written,
                    CTestModeLog& log) {
  std::unique_ptr<ProfileUploader> uploader = platform.create_uploader(&profile);
  if (!uploader) return;
  if (uploader->UploadProfile(data_file_path)) {
    if (written) {
      collector.KeepUploadState();
    } else {
      QM_TRACE(RunDriver, 47, Error, Run);
    }
    Note(log, kUploaded);
  } else {
    NoteFailure(log, kUploadFailed);
  }
}

enum class Delivery { Done, NoWriter, NoTempDirectory };

// RunStage::WriteDataFile to RunStage::DeleteDataFile: the data file is
// written, backed up, uploaded and deleted again.
Delivery DeliverProfile(const RunPlatform& platform, ProfileDataCollector& collector,
                        IProfileDataObserver& profile, const std::wstring& muid,
                        const std::wstring& json, CTestModeLog& log, RunRescue& rescue) {
  std::unique_ptr<CFileWriter> writer;
  try {
    writer.reset(new CFileWriter(platform.build_data_file_path(muid), true, true));
  } catch (const TempDirectoryError&) {
    // There is nowhere to put the file.
    QM_TRACE(RunDriver, 24, Error, Run);
    return Delivery::NoTempDirectory;
  } catch (const std::exception&) {
    QM_TRACE(RunDriver, 24, Error, Run);
    return Delivery::NoWriter;
  }

  const std::wstring data_file_path = writer->GetFilePath();
  rescue.WatchDataFile(data_file_path);
  const bool written = writer->Write(json);
  (void)writer->Close();
  QM_TRACE(RunDriver, 22, Info, Run);

  std::wstring backup_directory;
  if (ReadBackupDirectory(backup_directory) && !backup_directory.empty()) {
    QM_TRACE(RunDriver, 23, Info, Run, trace::AnsiOf(backup_directory));
    (void)writer->CopyTo(backup_directory);
  }

  UploadDataFile(platform, collector, profile, data_file_path, written, log);

  writer->Delete();
  rescue.ForgetDataFile();
  writer.reset();
  return Delivery::Done;
}

// The stages of a run; exceptions that no stage handles end up in RunProfiler.
int RunStages(int argc, wchar_t** argv, const RunPlatform& platform) {
  // RunStage::LoadTracing and RunStage::RegisterProvider.
  trace::LoadTracingSupport();
  TraceRegistration tracing;

  // RunStage::TestMode.
  CTestModeLog log;
  log.SetTestMode(IsTestModeRequested(argc, argv));
  if (log.IsTestMode()) log.DeleteMarkers();

  // RunStage::SingleInstance: a second instance leaves at once.
  ::SetLastError(ERROR_SUCCESS);
  UniqueHandle instance_mutex(::CreateMutexW(nullptr, TRUE, kInstanceMutexName));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    NoteFailure(log, kOtherInstance);
    QM_TRACE(RunDriver, 10, Info, Run);
    return kRunStopped;
  }
  QM_TRACE(RunDriver, 11, Info, Run);
  // From here a library that hangs or faults on a thread of its own ends the
  // run through the rescue, which then holds the mutex.
  RunRescue rescue(log.IsTestMode(), kUploadFailed, std::move(instance_mutex),
                   ForeignCallDeadlineMs());

  // RunStage::AgentProcess: from here on the agent's folder is the current directory.
  if (!platform.find_agent_process()) {
    QM_TRACE(RunDriver, 12, Info, Run);
    return kRunStopped;
  }

  // RunStage::StartTracking.
  ParseTrackingSwitch(argc, argv);
  StartTracking(platform.tracking_library());

  // RunStage::AgentService.
  if (!platform.wait_for_agent_service()) {
    NoteFailure(log, kServiceTimeout);
    QM_TRACE(RunDriver, 13, Info, Run);
    return kRunStopped;
  }

  // RunStage::IdentityValues, with the setup's fallback product: everything
  // the documents carry beside the profile itself.
  DocumentInputs document_inputs;
  ReadInstallUid(document_inputs.install_uid);
  (void)ReadOwnFileVersion(document_inputs.own_file_version);
  document_inputs.fallback_product = ReadFallbackProductTexts();

  // RunStage::SdkContext and RunStage::Activate.
  const CActivationContext* sdk_context = platform.sdk_activation_context();
  if (sdk_context == nullptr) {
    NoteFailure(log, kNoSdkContext);
    QM_TRACE(RunDriver, 14, Info, Run);
    return kRunStopped;
  }
  std::optional<CActivationScope> activation;
  activation.emplace(*sdk_context);
  Note(log, kSdkContextActive);

  // RunStage::CreateCollector.
  CollectorPtr collector = platform.create_collector();
  if (!collector) {
    NoteFailure(log, kNoCollector);
    QM_TRACE(RunDriver, 15, Error, Run);
    return kRunStopped;
  }
  Note(log, kCollectorCreated);
  collector->SetDocumentInputs(std::move(document_inputs));

  // RunStage::InitialiseCollector: a collector that failed to initialise is destroyed unfinalised.
  if (!collector->Initialise()) {
    NoteFailure(log, kInitialiseFailed);
    QM_TRACE(RunDriver, 16, Error, Run);
    collector.reset();
    return kRunStopped;
  }
  Note(log, kInitialised);

  // RunStage::Collect.
  if (!CollectSafely(*collector)) {
    NoteFailure(log, kCollectFailed);
    QM_TRACE(RunDriver, 17, Error, Run);
    FinaliseAndDestroy(collector);
    return kRunStopped;
  }
  Note(log, kCollected);

  // RunStage::TrackProfile.
  SetTrackingProfile(collector->GetProfile());

  // RunStage::ChangeChecks and RunStage::NothingToSend: nothing worth sending ends the run here.
  const bool changed = collector->HasProfileChanged();
  const bool resend_due = collector->IsResendDue();
  if (!changed && !resend_due) {
    Note(log, kUnchanged);
    QM_TRACE(RunDriver, 18, Info, Run, trace::Narrow(TrueOrFalse(changed)),
             trace::Narrow(TrueOrFalse(resend_due)));
    FinaliseAndDestroy(collector);
    tracing.End();
    activation.reset();
    return kRunEnded;
  }
  // RunStage::MustSend.
  Note(log, kChanged);
  QM_TRACE(RunDriver, 19, Info, Run, trace::Narrow(TrueOrFalse(changed)),
           trace::Narrow(TrueOrFalse(resend_due)));

  int exit_code = kRunEnded;
  std::wstring json;
  // RunStage::Serialise.
  if (!collector->GetProfileJson(json) || json.empty()) {
    NoteFailure(log, kSerialiseFailed);
    QM_TRACE(RunDriver, 26, Error, Run);
    // The SDK connection is closed properly here too, not left to the exit.
    FinaliseAndDestroy(collector);
  } else {
    // RunStage::TraceDocument.
    QM_TRACE(RunDriver, 20, Info, Run, trace::AnsiOf(json));

    // RunStage::ProfileObject.
    IProfileDataObserver* profile = collector->GetProfile();
    if (profile == nullptr) {
      NoteFailure(log, kNoProfile);
      QM_TRACE(RunDriver, 21, Error, Run);
      FinaliseAndDestroy(collector);
      tracing.End();
      activation.reset();
      return kRunStopped;
    }

    // RunStage::Deliver.
    {
      std::wstring muid = profile->GetMUID();
      if (muid.empty()) {
        QM_TRACE(RunDriver, 25, Error, Run);
        SendTrackingEvent(L"prfNotMUID", kMuidMissingAtRun);
      } else if (DeliverProfile(platform, *collector, *profile, muid, json, log, rescue) ==
                 Delivery::NoTempDirectory) {
        // Without a temp directory nothing was sent: the run did not do its job.
        // A writer that could not be created for another reason ends the run with 0.
        if (log.IsTestMode()) log.SetSuccess(false);
        exit_code = kRunStopped;
      }
      // RunStage::ReleaseRun.
      rescue.ReleaseInstanceMutex();
      FinaliseAndDestroy(collector);
    }
  }

  // RunStage::Closing.
  StopTracking();
  Note(log, kRunCompleted);
  tracing.End();
  json.clear();
  activation.reset();
  return exit_code;
}

}  // namespace

const RunPlatform& SystemRunPlatform() noexcept { return kSystemPlatform; }

int RunProfiler(int argc, wchar_t** argv) { return RunProfiler(argc, argv, kSystemPlatform); }

int RunProfiler(int argc, wchar_t** argv, const RunPlatform& platform) {
  try {
    return RunStages(argc, argv, platform);
  } catch (...) {
    // Whatever escaped a stage (a lack of memory, say) stops the run, but
    // never as a crash that a harness could take for something else.
    return kRunStopped;
  }
}

}  // namespace qm
