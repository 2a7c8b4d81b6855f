#pragma once

// Equipment of the end-to-end runs: installs scenarios of the simulated agent,
// runs the real quillmark.exe through simagent.exe and reads what a run leaves
// behind (markers, the agent's logs, the value store).

#include <windows.h>

#include <cstddef>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/scratch_folder.h"

namespace qm::e2e {

using ScratchFolder = testing::ScratchFolder;

// -1 as the system reports a process's exit code.
inline constexpr DWORD kRunStopped = 0xFFFFFFFF;
inline constexpr DWORD kRunEnded = 0;

struct Finished {
  DWORD exit_code = kRunStopped;
  std::string output;  // simagent's and the program's standard output and error
};

// The marker files in `folder`; absent ones are nullopt.
struct Markers {
  std::optional<std::string> ok;
  std::optional<std::string> error;
};
[[nodiscard]] Markers ReadMarkers(const std::wstring& folder);
// Leaves markers as an earlier run would have, so a test can see them deleted.
void PlantStaleMarkers(const std::wstring& folder);

// What a marker holds after these messages: each preceded by a CR LF.
[[nodiscard]] std::string MarkerText(std::initializer_list<std::string_view> messages);

// One JSON value per line; what does not parse throws, which fails the test.
[[nodiscard]] std::vector<nlohmann::json> ReadJsonLines(const std::wstring& path);
[[nodiscard]] std::optional<nlohmann::json> ReadJsonFile(const std::wstring& path);

// The shipped default scenario, to derive variants from.
[[nodiscard]] nlohmann::ordered_json DefaultScenario();
// The document a first run of the default scenario delivers, every member as
// the scenario and the program's own inputs make it.
[[nodiscard]] std::string DefaultScenarioDocument();

// A scenario installed as simagent.exe installs it, removed again when this goes.
class AgentInstallation {
 public:
  explicit AgentInstallation(const std::wstring& scenario_path);
  ~AgentInstallation();
  AgentInstallation(const AgentInstallation&) = delete;
  AgentInstallation& operator=(const AgentInstallation&) = delete;

  [[nodiscard]] bool Installed() const { return !folder_.empty(); }
  [[nodiscard]] const std::wstring& Folder() const { return folder_; }
  // A file of the simulation: "<agent folder>\SimAgent\<name>".
  [[nodiscard]] std::wstring SimFile(std::wstring_view name) const;

  // Run `number` of the scenario ("simagent run N"); one that does not end
  // within a minute is ended and fails the test, and so does any call a
  // stand-in logged as outside the program's contract. Its output goes
  // through a file, so that a process it leaves running holds no pipe of the
  // test's.
  [[nodiscard]] Finished Run(int number) const;

 private:
  void ExpectNoContractViolations() const;

  std::wstring folder_;
  ScratchFolder outputs_;
  mutable std::map<std::wstring, std::size_t> lines_checked_;  // per stand-in log
};

}  // namespace qm::e2e
