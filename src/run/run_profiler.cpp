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

// The trace provider's registration, from RunStage::RegisterProvider until
// its owner goes.
class TraceRegistration {
 public:
  TraceRegistration() noexcept = default;
  ~TraceRegistration() {
    if (registered_) trace::UnregisterTraceProvider();
  }
  TraceRegistration(const TraceRegistration&) = delete;
  TraceRegistration& operator=(const TraceRegistration&) = delete;

  void Register() noexcept {
    trace::RegisterTraceProvider();
    registered_ = true;
  }

 private:
  bool registered_ = false;
};

// The run's collector: one that initialised is finalised before it is
// destroyed, one that failed to initialise is destroyed unfinalised.
class OwnedCollector {
 public:
  OwnedCollector() noexcept = default;
  ~OwnedCollector() { Release(); }
  OwnedCollector(const OwnedCollector&) = delete;
  OwnedCollector& operator=(const OwnedCollector&) = delete;

  // False when there is none to take.
  [[nodiscard]] bool Take(std::unique_ptr<ProfileDataCollector> collector) noexcept {
    collector_ = std::move(collector);
    return collector_ != nullptr;
  }
  [[nodiscard]] bool Initialise() {
    initialised_ = collector_->Initialise();
    return initialised_;
  }
  [[nodiscard]] ProfileDataCollector& operator*() const noexcept { return *collector_; }
  [[nodiscard]] ProfileDataCollector* operator->() const noexcept { return collector_.get(); }
  // Finalises (when initialised) and destroys the collector; nothing when gone.
  void Release() {
    if (collector_ && initialised_) collector_->Finalise();
    collector_.reset();
  }

 private:
  std::unique_ptr<ProfileDataCollector> collector_;
  bool initialised_ = false;
};

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
  std::unique_ptr<ProfileUploader> uploader =
      platform.create_uploader(&profile, platform.link_bridge);
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

// Where a stage group left the run: the stage that ended it, or none when the
// next group runs; and the exit code the run ends with.
struct Outcome {
  std::optional<RunStage> stopped_at;
  int exit_code = kRunEnded;
};

constexpr Outcome kGoOn{};

Outcome StoppedAt(RunStage stage, int exit_code = kRunStopped) { return {stage, exit_code}; }

// One run: the stage groups in their order, and what the run holds. The
// members are declared so that, however the run ends, what is still held is
// let go in the order a run releases it: the collector (finalised when it
// initialised), the trace registration, the activation, the tracking, the
// rescue with the instance mutex, the test-mode log. Only the end of a
// delivery closes the mutex and finalises the collector earlier, and the
// closing ends tracking.
class Run {
 public:
  Run(int argc, wchar_t** argv, const RunPlatform& platform)
      : argc_(argc), argv_(argv), platform_(platform), tracking_(platform.link_bridge) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Runs the groups until one stops the run; the exit code.
  int Go() {
    StartTracingAndTestMode();
    Outcome outcome = CheckStartUp();
    if (!outcome.stopped_at) outcome = OpenCollector();
    if (!outcome.stopped_at) outcome = CollectAndDecide();
    if (!outcome.stopped_at) outcome = Deliver();
    if (!outcome.stopped_at) outcome = Close(outcome.exit_code);
    return outcome.exit_code;
  }

 private:
  void StartTracingAndTestMode();
  Outcome CheckStartUp();
  Outcome OpenCollector();
  Outcome CollectAndDecide();
  Outcome Deliver();
  int DeliverByMuid(IProfileDataObserver& profile, const std::wstring& json);
  Outcome Close(int exit_code);

  const int argc_;
  wchar_t** const argv_;
  const RunPlatform& platform_;
  CTestModeLog log_;
  // Holds the instance mutex once it is taken.
  std::optional<RunRescue> rescue_;
  TrackingSession tracking_;
  std::optional<CActivationScope> activation_;
  TraceRegistration tracing_;
  OwnedCollector collector_;
};

// RunStage::LoadTracing, RunStage::RegisterProvider and RunStage::TestMode.
void Run::StartTracingAndTestMode() {
  trace::LoadTracingSupport();
  tracing_.Register();
  log_.SetTestMode(IsTestModeRequested(argc_, argv_));
  if (log_.IsTestMode()) log_.DeleteMarkers();
}

// RunStage::SingleInstance to RunStage::AgentService.
Outcome Run::CheckStartUp() {
  // A second instance leaves at once.
  ::SetLastError(ERROR_SUCCESS);
  UniqueHandle instance_mutex(::CreateMutexW(nullptr, TRUE, kInstanceMutexName));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    NoteFailure(log_, kOtherInstance);
    QM_TRACE(RunDriver, 10, Info, Run);
    return StoppedAt(RunStage::SingleInstance);
  }
  QM_TRACE(RunDriver, 11, Info, Run);
  // From here a library that hangs or faults on a thread of its own ends the
  // run through the rescue, which then holds the mutex.
  rescue_.emplace(log_.IsTestMode(), kUploadFailed, std::move(instance_mutex),
                  ForeignCallDeadlineMs());

  // From here on the agent's folder is the current directory.
  if (!platform_.find_agent_process()) {
    QM_TRACE(RunDriver, 12, Info, Run);
    return StoppedAt(RunStage::AgentProcess);
  }

  // RunStage::StartTracking.
  tracking_.ParseSwitch(argc_, argv_);
  tracking_.Start();

  if (!platform_.wait_for_agent_service(platform_.service_wait)) {
    NoteFailure(log_, kServiceTimeout);
    QM_TRACE(RunDriver, 13, Info, Run);
    return StoppedAt(RunStage::AgentService);
  }
  return kGoOn;
}

// RunStage::IdentityValues to RunStage::InitialiseCollector.
Outcome Run::OpenCollector() {
  // With the setup's fallback product: everything the documents carry beside
  // the profile itself.
  DocumentInputs document_inputs;
  ReadInstallUid(document_inputs.install_uid);
  (void)ReadOwnFileVersion(document_inputs.own_file_version);
  document_inputs.fallback_product = ReadFallbackProductTexts();

  // RunStage::SdkContext and RunStage::Activate.
  const CActivationContext* sdk_context = platform_.sdk_activation_context();
  if (sdk_context == nullptr) {
    NoteFailure(log_, kNoSdkContext);
    QM_TRACE(RunDriver, 14, Info, Run);
    return StoppedAt(RunStage::SdkContext);
  }
  activation_.emplace(*sdk_context);
  Note(log_, kSdkContextActive);

  if (!collector_.Take(platform_.create_collector(platform_.collector, tracking_))) {
    NoteFailure(log_, kNoCollector);
    QM_TRACE(RunDriver, 15, Error, Run);
    return StoppedAt(RunStage::CreateCollector);
  }
  Note(log_, kCollectorCreated);
  collector_->SetDocumentInputs(std::move(document_inputs));

  if (!collector_.Initialise()) {
    NoteFailure(log_, kInitialiseFailed);
    QM_TRACE(RunDriver, 16, Error, Run);
    return StoppedAt(RunStage::InitialiseCollector);
  }
  Note(log_, kInitialised);
  return kGoOn;
}

// RunStage::Collect to RunStage::MustSend: nothing worth sending ends the run
// at RunStage::NothingToSend, with 0.
Outcome Run::CollectAndDecide() {
  if (!CollectSafely(*collector_)) {
    NoteFailure(log_, kCollectFailed);
    QM_TRACE(RunDriver, 17, Error, Run);
    return StoppedAt(RunStage::Collect);
  }
  Note(log_, kCollected);

  // RunStage::TrackProfile.
  tracking_.SetProfile(collector_->GetProfile());

  // RunStage::ChangeChecks.
  const bool changed = collector_->HasProfileChanged();
  const bool resend_due = collector_->IsResendDue();
  if (!changed && !resend_due) {
    Note(log_, kUnchanged);
    QM_TRACE(RunDriver, 18, Info, Run, trace::Narrow(TrueOrFalse(changed)),
             trace::Narrow(TrueOrFalse(resend_due)));
    return StoppedAt(RunStage::NothingToSend, kRunEnded);
  }
  Note(log_, kChanged);
  QM_TRACE(RunDriver, 19, Info, Run, trace::Narrow(TrueOrFalse(changed)),
           trace::Narrow(TrueOrFalse(resend_due)));
  return kGoOn;
}

// RunStage::Serialise to RunStage::ReleaseRun. A document that cannot be made
// goes on to the closing with 0.
Outcome Run::Deliver() {
  std::wstring json;
  if (!collector_->GetProfileJson(json) || json.empty()) {
    NoteFailure(log_, kSerialiseFailed);
    QM_TRACE(RunDriver, 26, Error, Run);
    // The SDK connection is closed properly here too, not left to the exit.
    collector_.Release();
    return kGoOn;
  }
  // RunStage::TraceDocument.
  QM_TRACE(RunDriver, 20, Info, Run, trace::AnsiOf(json));

  // RunStage::ProfileObject.
  IProfileDataObserver* profile = collector_->GetProfile();
  if (profile == nullptr) {
    NoteFailure(log_, kNoProfile);
    QM_TRACE(RunDriver, 21, Error, Run);
    return StoppedAt(RunStage::ProfileObject);
  }

  const int exit_code = DeliverByMuid(*profile, json);
  // RunStage::ReleaseRun.
  rescue_->ReleaseInstanceMutex();
  collector_.Release();
  return {std::nullopt, exit_code};
}

// RunStage::Deliver: the data file's steps, or none without a MUID.
int Run::DeliverByMuid(IProfileDataObserver& profile, const std::wstring& json) {
  const std::wstring muid = profile.GetMUID();
  if (muid.empty()) {
    QM_TRACE(RunDriver, 25, Error, Run);
    tracking_.Send(L"prfNotMUID", kMuidMissingAtRun);
    return kRunEnded;
  }
  if (DeliverProfile(platform_, *collector_, profile, muid, json, log_, *rescue_) !=
      Delivery::NoTempDirectory) {
    return kRunEnded;
  }
  // Without a temp directory nothing was sent: the run did not do its job. A
  // writer that could not be created for another reason ends the run with 0.
  if (log_.IsTestMode()) log_.SetSuccess(false);
  return kRunStopped;
}

// RunStage::Closing: the rest goes with the run's owners.
Outcome Run::Close(int exit_code) {
  tracking_.Stop();
  Note(log_, kRunCompleted);
  return StoppedAt(RunStage::Closing, exit_code);
}

}  // namespace

std::unique_ptr<ProfileUploader> CreateUploader(const IProfileDataObserver* profile,
                                                const LinkBridgeLoader& library) {
  try {
    return std::make_unique<ProfileUploader>(profile, library);
  } catch (const std::exception&) {
    return nullptr;
  }
}

int RunProfiler(int argc, wchar_t** argv) {
  const RunPlatform platform;
  return RunProfiler(argc, argv, platform);
}

int RunProfiler(int argc, wchar_t** argv, const RunPlatform& platform) {
  try {
    Run run(argc, argv, platform);
    return run.Go();
  } catch (...) {
    // Whatever escaped a stage (a lack of memory, say) stops the run, but
    // never as a crash that a harness could take for something else.
    return kRunStopped;
  }
}

}  // namespace qm
