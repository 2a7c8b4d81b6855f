// Runs that stop before a profile is collected: the exit code each stop gives
// and where its marker lands.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <string>

#include "e2e_support.h"
#include "support/unique_resource.h"

namespace qm::e2e {
namespace {

constexpr char kOtherInstance[] = "Hay otra instancia de Quillmark.exe ejecutandose.";
constexpr char kServiceTimeout[] = "Agotado el tiempo de espera del servicio.";
constexpr char kInitialiseFailed[] = "Error inicializando el ProfileDataCollector.";

const std::vector<std::wstring> kTestMode{L"/TestMode"};

// The test plays the first instance by holding the instance mutex itself.
class SecondInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    ::SetLastError(ERROR_SUCCESS);
    mutex_.Reset(::CreateMutexW(nullptr, TRUE, L"Orvex Security Profiler"));
    ASSERT_TRUE(mutex_) << "error " << ::GetLastError();
    ASSERT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
        << "another run holds the mutex";
    PlantStaleMarkers(start_.Path());
  }

  UniqueHandle mutex_;
  ScratchFolder start_;
};

TEST_F(SecondInstance, StopsWithItsMarkerInTheFolderItWasStartedFrom) {
  const Finished run = RunProgram(BuiltProgram(), kTestMode, start_.Path());

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  const Markers markers = ReadMarkers(start_.Path());
  EXPECT_FALSE(markers.ok);
  EXPECT_EQ(markers.error, MarkerText({kOtherInstance}));
}

TEST_F(SecondInstance, OutsideTestModeLeavesMarkersAlone) {
  const Finished run = RunProgram(BuiltProgram(), {}, start_.Path());

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  const Markers markers = ReadMarkers(start_.Path());
  EXPECT_EQ(markers.ok, MarkerText({"from an earlier run"}));
  EXPECT_EQ(markers.error, MarkerText({"from an earlier run"}));
}

// The agent's files without its service; each test starts or stops the main
// process as it needs it.
class AgentWithoutService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    installation_ =
        std::make_unique<AgentInstallation>(TestScenario(L"agent_without_service.json"));
  }
  static void TearDownTestSuite() { installation_.reset(); }
  void SetUp() override { ASSERT_TRUE(installation_->Installed()); }

  static inline std::unique_ptr<AgentInstallation> installation_;
};

TEST_F(AgentWithoutService, NoAgentProcessStopsWithoutAnyMarker) {
  installation_->StopAgentProcess();
  PlantStaleMarkers(installation_->Folder());

  const Finished run = installation_->RunProgram(kTestMode);

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  const Markers markers = ReadMarkers(installation_->Folder());
  EXPECT_FALSE(markers.ok);
  EXPECT_FALSE(markers.error);
}

// Started from elsewhere: the start-up deletion happens there, every later
// marker in the agent's folder, where the failure also deletes the old ones.
TEST_F(AgentWithoutService, UnregisteredServiceStopsWithoutWaitingAndMarksTheAgentsFolder) {
  installation_->StopAgentProcess();
  installation_->StartAgentProcess();
  ScratchFolder start;
  PlantStaleMarkers(start.Path());
  PlantStaleMarkers(installation_->Folder());

  const auto started = std::chrono::steady_clock::now();
  const Finished run = installation_->RunProgram(kTestMode, start.Path());
  const auto took = std::chrono::steady_clock::now() - started;

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  // One pause of the service wait alone would take ten seconds.
  EXPECT_LT(took, std::chrono::seconds(10));
  const Markers start_markers = ReadMarkers(start.Path());
  EXPECT_FALSE(start_markers.ok);
  EXPECT_FALSE(start_markers.error);
  const Markers agent_markers = ReadMarkers(installation_->Folder());
  EXPECT_FALSE(agent_markers.ok);
  EXPECT_EQ(agent_markers.error, MarkerText({kServiceTimeout}));
}

TEST(CollectorInitialisation, FailureLeavesOnlyTheErrorMarkerWithItsOneLine) {
  AgentInstallation installation(TestScenario(L"sdk_root_fails.json"));
  ASSERT_TRUE(installation.Installed());
  PlantStaleMarkers(installation.Folder());

  const Finished run = installation.RunProgram(kTestMode);

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  const Markers markers = ReadMarkers(installation.Folder());
  EXPECT_FALSE(markers.ok);
  EXPECT_EQ(markers.error, MarkerText({kInitialiseFailed}));
}

// The failure reaches the tracking service with the registry's MUID; the run
// itself ends as it would without the switch.
TEST(CollectorInitialisation, TrackedRunReportsTheFailedLicenceObjectAndStopsAsUntracked) {
  AgentInstallation installation(QM_TRACKING_SCENARIO);
  ASSERT_TRUE(installation.Installed());
  PlantStaleMarkers(installation.Folder());

  const Finished run = installation.RunProgram({L"/TestMode", L"-TRACKING"});

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  const Markers markers = ReadMarkers(installation.Folder());
  EXPECT_FALSE(markers.ok);
  EXPECT_EQ(markers.error, MarkerText({kInitialiseFailed}));
  std::string calls;  // each call with the texts it passed
  for (const nlohmann::json& c : ReadJsonLines(installation.SimFile(L"comms.jsonl"))) {
    calls += " " + c.value("call", "?") + "(";
    for (const char* text : {"url", "muid", "customId", "eventName", "name", "value"}) {
      if (c.contains(text)) calls += c[text].get<std::string>() + "|";
    }
    calls += c.contains("settings") && c["settings"].is_null() ? "no settings)" : ")";
  }
  EXPECT_EQ(
      calls,
      " GetUtil() CreateRequest(http://tracking.quillmark.example.com/track/campaign/"
      "details.html|) Start(5A1F3C9E7B2D4068A||prfFailOMX|) Prepare() AddParameter(omxError|16|)"
      " Submit(no settings) ReleaseRequest()");
}

}  // namespace
}  // namespace qm::e2e
