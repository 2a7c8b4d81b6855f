#pragma once

// The scenario file of the simulated agent: one JSON document that describes
// the endpoint a run finds. The installer applies its machine-wide parts
// (registry, files, service, agent process); each stand-in reads its own
// section at start.

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qm::sim {

enum class RegistryView { Bit32, Bit64 };

struct RegistryValue {
  std::wstring name;  // empty: the key's default value
  DWORD type = REG_SZ;
  std::string data;  // raw bytes as RegSetValueEx takes them
};

struct RegistryKeyEntry {
  HKEY root = HKEY_LOCAL_MACHINE;
  std::wstring root_name;  // "HKEY_LOCAL_MACHINE", for messages and the install record
  std::wstring path;       // below the root, no leading or trailing separator
  RegistryView view = RegistryView::Bit32;
  std::vector<RegistryValue> values;
};

struct FileEntry {
  std::wstring path;  // absolute, placeholders and environment variables expanded
  bool directory = false;
  std::string content;  // bytes of a file
};

enum class ServiceBehaviour { Running, NotInstalled, Stopped, Paused, StartPending, StartsLater };

struct ServiceScenario {
  ServiceBehaviour behaviour = ServiceBehaviour::Running;
  DWORD start_delay_seconds = 0;  // StartsLater only
};

struct AgentProcessScenario {
  bool running = true;
  std::wstring folder;  // the agent's install folder, no trailing separator
  // The stand-in's file name in the agent folder; KORAMAIN.EXE in any letter case.
  std::wstring image_name = L"KORAMAIN.EXE";
  unsigned instances = 1;  // main processes started from the agent folder
  // Folders that each get a copy of the stand-in and one more main process,
  // as an older installation left running would.
  std::vector<std::wstring> other_folders;
};

// What one run of the program is given: the sections the stand-ins read
// (`document`, written as SimAgent\scenario.json before the run) and the
// runner's own fields.
struct ScenarioRun {
  nlohmann::ordered_json document;
  std::vector<std::wstring> command_line;
  std::map<std::wstring, std::optional<std::wstring>> environment;  // nullopt: unset
  std::wstring start_folder;  // current directory the program starts in
  std::string locale;         // the endpoint's locale ("ja-JP"); empty: the bench's own
};

// A locale an endpoint may run under: its name in scenarios, the Unix locale
// Wine takes it from and the ANSI code page that gives the program.
struct EndpointLocale {
  const char* name;
  const char* unix_name;
  unsigned code_page;
};
// Null for a locale the bench does not offer.
[[nodiscard]] const EndpointLocale* FindEndpointLocale(std::string_view name) noexcept;

// Calls a stand-in ends with a structured exception instead of answering, as
// a library built by another compiler ends them, or in which it misbehaves in
// the other ways such a library can; empty: none.
struct ScriptedFaults {
  std::wstring raise_from;  // raises 0xE06D7363, another runtime's C++ exception
  std::wstring fault_from;  // ends with an access violation
  std::wstring hang_in;     // stays inside the call for hang_ms, then goes on
  DWORD hang_ms = 0;
  std::wstring thread_fault_from;           // a thread it starts faults; the call waits for it
  std::vector<std::wstring> overflow_from;  // each overflows its stack
  // changes the x87 control word and MXCSR and leaves the x87 stack full first
  std::wstring fp_modes_from;
};

// Answers of the communications library stand-in.
struct CommsScenario {
  bool get_util = true;      // GetUtil hands out the utility object
  bool open_channel = true;  // OpenChannel hands out a channel
  bool set_connection_settings = true;
  std::optional<bool> send;  // unset: true when the file it is handed exists
  bool deliver = true;       // Send copies the file into the queue folder
  bool close_channel = true;
  bool create_request = true;
  bool request_start = true;
  bool request_add_parameter = true;
  bool request_prepare = true;
  bool request_submit = true;
  ScriptedFaults faults;
};

struct SettingsScenario {
  bool get_util = true;
  ScriptedFaults faults;
  std::map<std::wstring, std::wstring> values;
};

struct Scenario {
  std::string name;
  std::string description;
  std::vector<RegistryKeyEntry> registry;
  std::vector<FileEntry> files;
  ServiceScenario service;
  AgentProcessScenario agent_process;
  nlohmann::ordered_json sdk;  // validated by the SDK stand-in's parser, applied by the SDK itself
  CommsScenario comms;
  SettingsScenario settings;
  std::map<std::wstring, std::optional<std::wstring>> environment;  // nullopt: unset
  std::vector<std::wstring> command_line = {L"/TestMode"};
  std::wstring start_folder;  // empty: the agent folder
  std::string locale;         // empty: the bench's own
  // One entry per "runs" item: the scenario merged with that item; run n gets
  // item n, runs after the last get the last. Empty when the scenario has no
  // "runs": every run gets the scenario itself.
  std::vector<ScenarioRun> runs;
};

// The members a "runs" item may change: what the stand-ins and the runner
// read afresh for each run. The rest is installed once.
inline constexpr const char* kPerRunFields[] = {
    "sdk", "comms", "settings", "environment", "commandLine", "startFolder", "locale"};

inline constexpr wchar_t kDefaultAgentFolder[] =
    L"C:\\Program Files (x86)\\Orvex Software\\Orvex Agent";

// Parses and validates a whole scenario. `base_folder` resolves relative
// .reg import paths. Throws ScenarioError naming the offending field path.
[[nodiscard]] Scenario ParseScenario(const nlohmann::ordered_json& document,
                                     const std::wstring& base_folder);

// What a run gets from a scenario with no "runs" item applied: `document`
// without its "runs", and the runner's fields.
[[nodiscard]] ScenarioRun RunOf(const Scenario& scenario, const nlohmann::ordered_json& document);

// Reads and parses a scenario file (UTF-8 JSON); errors name the file.
[[nodiscard]] Scenario LoadScenario(const std::wstring& path);

// Reads a scenario file as JSON only, for stand-ins that take one section.
[[nodiscard]] nlohmann::ordered_json ReadScenarioDocument(const std::wstring& path);

// The sections the stand-ins read for themselves; each throws ScenarioError.
[[nodiscard]] CommsScenario ParseCommsSection(const nlohmann::ordered_json& section);
[[nodiscard]] SettingsScenario ParseSettingsSection(const nlohmann::ordered_json& section);
[[nodiscard]] ServiceScenario ParseServiceSection(const nlohmann::ordered_json& section);

[[nodiscard]] const char* ServiceBehaviourName(ServiceBehaviour behaviour) noexcept;

}  // namespace qm::sim
