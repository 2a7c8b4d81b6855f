// The stages of a run, with the agent's machine stood in for: which marker a
// harness finds, which exit code it reads, and what happens to the collector.
#include "run/run_profiler.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/profile_data_collector.h"
#include "common/registry_sandbox.h"
#include "common/scratch_folder.h"
#include "diagnostics/file_writer.h"
#include "diagnostics/trace_recorder.h"
#include "profile/profile_data.h"
#include "resources/resource_ids.h"
#include "run/activation_context.h"
#include "run/test_mode_log.h"
#include "support/unique_resource.h"
#include "upload/fake_link.h"
#include "upload/profile_uploader.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// What the stood-in machine and collector answer, and what the run did.
struct Machine {
  bool agent = true, service = true, context = true, collector = true, initialise = true;
  bool collect = true, collect_throws = false, changed = true, resend_due = false, json = true;
  bool profile = true;
  std::wstring muid = L"0123456789ABCDEF0";
  bool temp_directory = true;
  bool writer = true;                    // false: no memory for the data file writer
  bool reports_at_change_check = false;  // an event through the collector's sink
  fs::path folder = {};
  std::vector<std::string> calls = {};
};

class FakeCollector : public ProfileDataCollector {
 public:
  FakeCollector(const CollectorPlatform& platform, EventSink& events, Machine& machine)
      : ProfileDataCollector(platform, events), machine_(machine), events_(events) {
    profile_.SetMUID(machine_.muid);
    profile_.SetCustomID(187477);
  }
  ~FakeCollector() override { machine_.calls.push_back("destroyed"); }

  bool Initialise() override { return machine_.initialise; }
  bool Finalise() override {
    machine_.calls.push_back("finalised");
    return true;
  }
  bool Collect() override {
    if (machine_.collect_throws) throw std::runtime_error("conversion failed");
    return machine_.collect;
  }
  IProfileDataObserver* GetProfile() const noexcept override {
    return machine_.profile ? const_cast<CProfileData*>(&profile_) : nullptr;
  }
  bool GetProfileJson(std::wstring& json) override {
    if (machine_.json) json = L"{\"MUID\":\"" + machine_.muid + L"\"}";
    return machine_.json;
  }
  bool HasProfileChanged() override {
    if (machine_.reports_at_change_check) events_.Report(L"prfSvrNotRun", 1);
    return machine_.changed;
  }
  void KeepUploadState() override { machine_.calls.push_back("kept"); }
  bool IsResendDue() override { return machine_.resend_due; }

 private:
  Machine& machine_;
  EventSink& events_;
  CProfileData profile_;
};

// The machine as the run sees it; by default every stage succeeds, and no
// uploader can be had, so a delivery skips the upload (the delivery tests
// upload for real).
RunPlatform StoodInPlatform(Machine& machine) {
  RunPlatform platform;
  platform.find_agent_process = [&machine] { return machine.agent; };
  platform.wait_for_agent_service = [&machine](const ServiceWaitPlatform&) {
    return machine.service;
  };
  platform.sdk_activation_context = [&machine]() -> const CActivationContext* {
    static const CActivationContext context(::GetModuleHandleW(nullptr), nullptr,
                                            QM_MANIFEST_APPLICATION);
    return machine.context ? &context : nullptr;
  };
  platform.create_collector = [&machine](
                                  const CollectorPlatform& collector,
                                  EventSink& events) -> std::unique_ptr<ProfileDataCollector> {
    if (!machine.collector) return nullptr;
    return std::make_unique<FakeCollector>(collector, events, machine);
  };
  platform.build_data_file_path = [&machine](std::wstring_view muid) {
    if (!machine.temp_directory) throw TempDirectoryError();
    if (!machine.writer) throw std::bad_alloc();
    return machine.folder.wstring() + L"\\" + std::wstring(muid) + L".dat";
  };
  platform.create_uploader = [](const IProfileDataObserver*, const LinkBridgeLoader&) {
    return std::unique_ptr<ProfileUploader>();
  };
  platform.link_bridge = testing::kFakeLibrary;
  return platform;
}

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::g_link = &link_;
    start_ = fs::current_path();
    fs::current_path(folder_.Path());
    Reset();
  }
  void TearDown() override { fs::current_path(start_); }
  void Reset(const Machine& machine = {}) {
    machine_ = machine;
    machine_.folder = folder_.Path();
  }
  int RunWith(std::vector<std::wstring> arguments = {L"quillmark.exe", L"/TestMode"}) {
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(argument.data());
    return RunProfiler(static_cast<int>(argv.size()), argv.data(), platform_);
  }
  // The run driver's stage messages, 18 and 19 with their arguments: "11 19(True,False) 20".
  std::string StageTraces() const {
    std::string traces;
    for (const trace::RecordedMessage& m : recorder_.Messages()) {
      if (m.source != trace::Source::RunDriver || m.number < 10 || m.number > 26) continue;
      traces += (traces.empty() ? "" : " ") + std::to_string(m.number);
      if (m.number == 18 || m.number == 19)
        traces += "(" + m.args.at(0).narrow + "," + m.args.at(1).narrow + ")";
    }
    return traces;
  }

  testing::ScratchFolder folder_;
  testing::FakeLink link_;
  Machine machine_;
  const RunPlatform platform_ = StoodInPlatform(machine_);
  fs::path start_;
  trace::TraceRecorder recorder_{5, trace::flags::Run};
};

const std::string kCollected =
    "Obtenida la instancia del OMX.\r\nObtenida la instancia del ProfileDataCollector."
    "\r\nProfileDataCollector inicializado.\r\nObtenido el perfilado.";
const std::string kSent =
    kCollected +
    "\r\nHan cambiado los datos del perfilado.\r\nQuillmark se ha ejecutado correctamente.";
const std::string kClosing = "Quillmark se ha ejecutado correctamente.";
const std::vector<std::string> kUntouched, kDestroyed{"destroyed"},
    kFinalised{"finalised", "destroyed"};

// Each course starts over markers an earlier run left, which a test-mode run
// deletes first; one run after another also shows the instance mutex freed.
// The delivery tests show the courses of a real run: the service timeout, a
// failed and a successful upload, and the data file deleted after either.
TEST_F(Run, EveryStageOutcomeEndsWithItsExitCodeMarkerAndCollectorRelease) {
  const struct {
    Machine machine;
    int exit_code;
    const wchar_t* marker;  // the only marker left, holding a line break and `content`
    std::string content;
    std::vector<std::string> calls;
    const char* traces;
  } courses[] = {
      {Machine{.agent = false}, -1, nullptr, "", kUntouched, "11 12"},
      {Machine{.context = false}, -1, kErrorMarkerName, "Error obteniendo instancia de la OMX.",
       kUntouched, "11 14"},
      {Machine{.collector = false}, -1, kErrorMarkerName,
       "Error obteniendo instancia del ProfileDataCollector.", kUntouched, "11 15"},
      // A collector that did not initialise is destroyed unfinalised.
      {Machine{.initialise = false}, -1, kErrorMarkerName,
       "Error inicializando el ProfileDataCollector.", kDestroyed, "11 16"},
      {Machine{.collect = false}, -1, kErrorMarkerName, "Error recopilando informacion.",
       kFinalised, "11 17"},
      {Machine{.collect_throws = true}, -1, kErrorMarkerName, "Error recopilando informacion.",
       kFinalised, "11 17"},
      {Machine{.profile = false}, -1, kErrorMarkerName, "Error obteniendo IProfileDataObserver.",
       kFinalised, "11 19(True,False) 20 21"},
      {Machine{.changed = false}, 0, kOkMarkerName,
       kCollected + "\r\nNo han cambiado los datos del perfilado.", kFinalised,
       "11 18(False,False)"},
      {Machine{}, 0, kOkMarkerName, kSent, kFinalised, "11 19(True,False) 20 22"},
      {Machine{.changed = false, .resend_due = true}, 0, kOkMarkerName, kSent, kFinalised,
       "11 19(False,True) 20 22"},
      {Machine{.muid = L""}, 0, kOkMarkerName, kSent, kFinalised, "11 19(True,False) 20 25"},
      {Machine{.json = false}, 0, kErrorMarkerName, kClosing, kFinalised, "11 19(True,False) 26"},
      {Machine{.temp_directory = false}, -1, kErrorMarkerName, kClosing, kFinalised,
       "11 19(True,False) 20 24"},
      {Machine{.writer = false}, 0, kOkMarkerName, kSent, kFinalised, "11 19(True,False) 20 24"},
  };
  for (const auto& course : courses) {
    SCOPED_TRACE(::testing::Message() << "course " << &course - courses);
    Reset(course.machine);
    folder_.Write(kOkMarkerName, "earlier run");
    folder_.Write(kErrorMarkerName, "earlier run");
    recorder_.Clear();
    EXPECT_EQ(RunWith(), course.exit_code);
    for (const wchar_t* marker : {kOkMarkerName, kErrorMarkerName})
      EXPECT_EQ(folder_.Exists(marker), marker == course.marker) << marker;
    if (course.marker != nullptr) {
      EXPECT_EQ(folder_.Content(course.marker), "\r\n" + course.content);
    }
    EXPECT_EQ(machine_.calls, course.calls);
    EXPECT_EQ(StageTraces(), course.traces);
  }
}

// The starts and parameters of the tracking requests in a transcript of the
// communications library: "Start(M|187477|prfNotMUID) Add(ptExecution=3)".
std::wstring TrackingRequests(const std::wstring& calls) {
  std::wistringstream words(calls);
  std::wstring requests;
  for (std::wstring call; words >> call;) {
    if (call.starts_with(L"Start(") || call.starts_with(L"Add("))
      requests += (requests.empty() ? L"" : L" ") + call;
  }
  return requests;
}

// With "-TRACKING" the run's tracking is the collector's sink and has the
// collected profile by the change checks, and a document without MUID is
// reported; without the switch nothing reaches the library. Outside test mode
// no marker is created or deleted.
TEST_F(Run, TrackingIsTheCollectorsSinkAndTakesTheCollectedProfile) {
  const testing::RegistrySandbox no_setup_muid;
  const struct {
    Machine machine;
    const wchar_t* tracking_switch;
    std::wstring requests;
  } rows[] = {
      {Machine{.muid = L""}, L"-TRACKING", L"Start(|187477|prfNotMUID) Add(ptExecution=3)"},
      {Machine{}, L"-TRACKING", L""},
      {Machine{.changed = false, .reports_at_change_check = true}, L"-TRACKING",
       L"Start(0123456789ABCDEF0|187477|prfSvrNotRun) Add(svrStatus=1)"},
      {Machine{.changed = false, .reports_at_change_check = true}, L"/TestMode", L""},
      {Machine{.initialise = false}, L"-TRACKING", L""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << &row - rows);
    Reset(row.machine);
    link_ = testing::FakeLink{};
    folder_.Write(kErrorMarkerName, "earlier run");
    RunWith({L"quillmark.exe", row.tracking_switch});
    EXPECT_EQ(TrackingRequests(link_.calls), row.requests);
    const bool test_mode = std::wstring_view(row.tracking_switch) == L"/TestMode";
    EXPECT_EQ(folder_.Content(kErrorMarkerName) == "earlier run", !test_mode);
    EXPECT_EQ(folder_.Exists(kOkMarkerName), test_mode);
    std::filesystem::remove(folder_.Path() / kOkMarkerName);
  }
}

TEST_F(Run, SecondInstanceStopsAtOnceWithTheErrorMarkerInTheStartDirectory) {
  UniqueHandle first(::CreateMutexW(nullptr, TRUE, L"Orvex Security Profiler"));
  ASSERT_TRUE(first);
  machine_.agent = false;  // never asked
  EXPECT_EQ(RunWith(), -1);
  EXPECT_EQ(StageTraces(), "10");
  EXPECT_FALSE(folder_.Exists(kOkMarkerName));
  EXPECT_EQ(folder_.Content(kErrorMarkerName),
            "\r\nHay otra instancia de Quillmark.exe ejecutandose.");
}

// A harness may hold the OK marker open while the run appends to it.
TEST_F(Run, AnOkMarkerHeldOpenByAReaderIsAppendedTo) {
  const CTestModeLog log;
  log.Write("one");
  UniqueFile reader(::CreateFileW(kOkMarkerName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  log.Write("two");
  reader.Reset();
  EXPECT_EQ(folder_.Content(kOkMarkerName), "\r\none\r\ntwo");
}

}  // namespace
}  // namespace qm
