#pragma once

// Equipment of the end-to-end runs: installs scenarios of the simulated agent
// with simagent.exe, runs the real quillmark.exe and reads what a run leaves
// behind (markers, the agent's logs, the value store).

#include <windows.h>

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

inline constexpr wchar_t kOkMarker[] = L"TestQuillmark_OK.log";
inline constexpr wchar_t kErrorMarker[] = L"TestQuillmark_ERROR.log";

struct Finished {
  DWORD exit_code = 0;
  std::string output;  // standard output and error together
};

// Runs `program` with `arguments` in `folder`. Its output goes through a file,
// so that a process it leaves running holds no pipe of the test's. A program
// that does not end within a minute is ended and fails the test.
[[nodiscard]] Finished RunProgram(const std::wstring& program,
                                  const std::vector<std::wstring>& arguments,
                                  const std::wstring& folder);

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

// One JSON value per line; lines that do not parse fail the test.
[[nodiscard]] std::vector<nlohmann::json> ReadJsonLines(const std::wstring& path);
[[nodiscard]] std::optional<nlohmann::json> ReadJsonFile(const std::wstring& path);

// The shipped default scenario, to derive variants from.
[[nodiscard]] nlohmann::ordered_json DefaultScenario();
// Writes `scenario` into `folder` as `name` and returns its path.
[[nodiscard]] std::wstring WriteScenario(const ScratchFolder& folder, std::wstring_view name,
                                         const nlohmann::ordered_json& scenario);
// A scenario file kept beside these tests.
[[nodiscard]] std::wstring TestScenario(std::wstring_view name);

// A scenario installed with simagent.exe and removed again when this goes.
class AgentInstallation {
 public:
  explicit AgentInstallation(const std::wstring& scenario_path);
  ~AgentInstallation();
  AgentInstallation(const AgentInstallation&) = delete;
  AgentInstallation& operator=(const AgentInstallation&) = delete;

  [[nodiscard]] bool Installed() const { return !folder_.empty(); }
  // The agent's folder, from the install record.
  [[nodiscard]] const std::wstring& Folder() const { return folder_; }
  [[nodiscard]] std::wstring File(std::wstring_view name) const;
  // A file of the simulation: "<agent folder>\SimAgent\<name>".
  [[nodiscard]] std::wstring SimFile(std::wstring_view name) const;

  // Runs the installed quillmark.exe from `start_folder` (default: the agent's folder).
  [[nodiscard]] Finished RunProgram(const std::vector<std::wstring>& arguments,
                                    const std::wstring& start_folder = {}) const;

 private:
  std::wstring folder_;
};

}  // namespace qm::e2e
