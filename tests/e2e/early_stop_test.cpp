// A run that stops before a profile is collected. The run table shows each
// stop's exit code and marker; only a real run shows which folder a marker
// lands in once the agent's process has been found.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>

#include "common/sim_text.h"
#include "e2e_support.h"

namespace qm::e2e {
namespace {

// Started from elsewhere: the start-up deletion happens there, every later
// marker in the agent's folder, where the failure also deletes the old ones.
TEST(EarlyStop, UnregisteredServiceStopsWithoutWaitingAndMarksTheAgentsFolder) {
  ScratchFolder start;
  nlohmann::ordered_json scenario = DefaultScenario();
  scenario["service"]["behaviour"] = "notInstalled";
  scenario["startFolder"] = sim::ToUtf8(start.Path().wstring());
  AgentInstallation installation(start.Write(L"agent_without_service.json", scenario.dump(2)));
  ASSERT_TRUE(installation.Installed());
  PlantStaleMarkers(start.Path());
  PlantStaleMarkers(installation.Folder());

  const auto started = std::chrono::steady_clock::now();
  const Finished run = installation.Run(1);
  const auto took = std::chrono::steady_clock::now() - started;

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  // One pause of the service wait alone would take ten seconds.
  EXPECT_LT(took, std::chrono::seconds(10));
  const Markers start_markers = ReadMarkers(start.Path());
  EXPECT_FALSE(start_markers.ok);
  EXPECT_FALSE(start_markers.error);
  const Markers agent_markers = ReadMarkers(installation.Folder());
  EXPECT_FALSE(agent_markers.ok);
  EXPECT_EQ(agent_markers.error, MarkerText({"Agotado el tiempo de espera del servicio."}));
}

// The failure reaches the tracking service with the registry's MUID; the run
// itself ends as it would without the switch.
TEST(CollectorInitialisation, TrackedRunReportsTheFailedLicenceObjectAndStopsAsUntracked) {
  AgentInstallation installation(QM_TRACKING_SCENARIO);
  ASSERT_TRUE(installation.Installed());
  PlantStaleMarkers(installation.Folder());

  const Finished run = installation.Run(1);

  EXPECT_EQ(run.exit_code, kRunStopped) << run.output;
  const Markers markers = ReadMarkers(installation.Folder());
  EXPECT_FALSE(markers.ok);
  EXPECT_EQ(markers.error, MarkerText({"Error inicializando el ProfileDataCollector."}));
  // Each call with the texts it passed; how each event is built is the
  // tracking tests'.
  std::string calls;
  for (const nlohmann::json& c : ReadJsonLines(installation.SimFile(L"comms.jsonl"))) {
    calls += " " + c.value("call", "?") + "(" + c.value("url", "") + c.value("muid", "") +
             c.value("eventName", "") + c.value("value", "") + ")";
  }
  EXPECT_EQ(calls,
            " GetUtil() CreateRequest(http://tracking.quillmark.example.com/track/campaign/"
            "details.html) Start(5A1F3C9E7B2D4068AprfFailOMX) Prepare() AddParameter(16) Submit()"
            " ReleaseRequest()");
}

}  // namespace
}  // namespace qm::e2e
