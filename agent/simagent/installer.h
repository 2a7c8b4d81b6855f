#pragma once

// Applies a scenario to the machine (the Wine prefix) and takes it away
// again. Everything the installer changes is written to an install record
// first, so removal restores exactly what was there before.

#include <string>
#include <vector>

#include "common/scenario.h"

namespace qm::sim {

struct InstallOptions {
  std::wstring payload_folder;       // holds payload.txt and the files it lists
  std::wstring record_path;          // the install record (JSON)
  std::wstring scenario_bytes_path;  // copied as <agent folder>\SimAgent\scenario.json
  std::wstring service_name = L"VelaServiceMain";
  bool start_main_process = true;  // honour agentProcess.running
};

// "%ProgramData%\Quillmark SimAgent\installation.json".
[[nodiscard]] std::wstring DefaultRecordPath();

// Removes an earlier installation recorded at options.record_path, then
// installs `scenario`. Throws ScenarioError (or InstallError) with the step
// that failed; what was done until then stays recorded for removal.
void Install(const Scenario& scenario, const InstallOptions& options);

// Undoes everything recorded at `record_path`; returns the problems met
// (empty when the machine is back to its earlier state). Without a record
// there is nothing to do.
[[nodiscard]] std::vector<std::string> Remove(const std::wstring& record_path);

// Starts the main process stand-in `image_name` from `agent_folder` (its
// current directory too).
[[nodiscard]] bool StartMainProcess(const std::wstring& agent_folder,
                                    const std::wstring& image_name = L"KORAMAIN.EXE");
// Starts every main process the scenario asks for; throws ScenarioError.
void StartMainProcesses(const AgentProcessScenario& agent);
// Stops every main process stand-in started from `agent_folder`.
void StopMainProcesses(const std::wstring& agent_folder);

}  // namespace qm::sim
