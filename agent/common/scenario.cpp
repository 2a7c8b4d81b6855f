#include "common/scenario.h"

#include <cwchar>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "common/json_node.h"
#include "common/reg_file.h"
#include "common/scenario_error.h"
#include "common/sim_files.h"
#include "common/sim_text.h"
#include "common/sdk_section.h"

namespace qm::sim {
namespace {

using json = nlohmann::ordered_json;

struct BehaviourName {
  const char* name;
  ServiceBehaviour behaviour;
};

constexpr EndpointLocale kEndpointLocales[] = {{"en-US", "en_US.UTF-8", 1252},
                                               {"es-ES", "es_ES.UTF-8", 1252},
                                               {"ja-JP", "ja_JP.UTF-8", 932},
                                               {"ru-RU", "ru_RU.UTF-8", 1251}};

// The Windows versions Wine can report to one program, by Wine's own names.
constexpr const char* kWindowsVersions[] = {"win7", "win8", "win81", "win10"};

// Where Wine looks for one program's own settings.
constexpr wchar_t kProgramWineSettingsKey[] = L"Software\\Wine\\AppDefaults\\quillmark.exe";

constexpr BehaviourName kBehaviours[] = {
    {"running", ServiceBehaviour::Running},
    {"notInstalled", ServiceBehaviour::NotInstalled},
    {"stopped", ServiceBehaviour::Stopped},
    {"paused", ServiceBehaviour::Paused},
    {"startPending", ServiceBehaviour::StartPending},
    {"startsLater", ServiceBehaviour::StartsLater},
};

RegistryView ParseView(const std::optional<JsonNode>& node, RegistryView fallback) {
  if (!node) return fallback;
  const std::string view = node->Text();
  if (view == "32") return RegistryView::Bit32;
  if (view == "64") return RegistryView::Bit64;
  node->Fail("expected \"32\" or \"64\", found " + Quoted(view));
}

std::vector<RegistryKeyEntry> ParseImport(const JsonNode& entry, const std::wstring& base_folder) {
  entry.ExpectObject({"import", "view"});
  const JsonNode import = entry.Required("import");
  std::wstring path = import.WideText();
  const bool absolute = path.size() > 1 && (path[1] == L':' || path[0] == L'\\' || path[0] == L'/');
  if (!absolute) path = JoinPath(base_folder, path);
  std::string bytes;
  const std::string where = import.Path() + " " + Quoted(import.Text());
  if (!ReadWholeFile(path, bytes)) {
    const DWORD error = ::GetLastError();
    throw ScenarioError(where + ": cannot read the file " + ToUtf8(path) + ": " +
                        SystemErrorText(error));
  }
  return ParseRegFile(bytes, ParseView(entry.Member("view"), RegistryView::Bit64), where);
}

RegistryKeyEntry ParseInlineKey(const JsonNode& entry, const std::wstring& agent_folder) {
  entry.ExpectObject({"key", "view", "values"});
  RegistryKeyEntry key;
  const JsonNode name = entry.Required("key");
  SplitKeyName(name.WideText(), name.Path(), key);
  key.view = ParseView(entry.Member("view"), RegistryView::Bit32);
  if (const auto values = entry.Member("values")) {
    values->ExpectObject();
    for (const auto& item : values->Value().items()) {
      const JsonNode value(item.value(), values->MemberPath(item.key()));
      key.values.push_back(
          ParseInlineValue(value, FromUtf8(item.key(), value.Path()), agent_folder));
    }
  }
  return key;
}

std::vector<RegistryKeyEntry> ParseRegistry(const JsonNode& node, const std::wstring& base_folder,
                                            const std::wstring& agent_folder) {
  node.ExpectArray();
  std::vector<RegistryKeyEntry> keys;
  for (size_t i = 0; i < node.Value().size(); ++i) {
    const JsonNode entry = node.At(i);
    entry.ExpectObject();
    if (entry.Value().contains("import")) {
      for (RegistryKeyEntry& key : ParseImport(entry, base_folder)) keys.push_back(std::move(key));
    } else {
      keys.push_back(ParseInlineKey(entry, agent_folder));
    }
  }
  return keys;
}

std::vector<FileEntry> ParseFiles(const JsonNode& node, const std::wstring& agent_folder) {
  node.ExpectArray();
  std::vector<FileEntry> files;
  for (size_t i = 0; i < node.Value().size(); ++i) {
    const JsonNode entry = node.At(i);
    entry.ExpectObject({"path", "directory", "content"});
    FileEntry file;
    const JsonNode path = entry.Required("path");
    file.path = ExpandAgentFolder(path.WideText(), agent_folder);
    const bool absolute = file.path.size() > 2 && file.path[1] == L':' && file.path[2] == L'\\';
    if (!absolute && file.path.find(L'%') == std::wstring::npos) {
      path.Fail("expected an absolute path such as C:\\folder\\file.exe");
    }
    if (const auto directory = entry.Member("directory")) file.directory = directory->Bool();
    if (const auto content = entry.Member("content")) {
      if (file.directory) content->Fail("a directory has no content");
      file.content = content->Text();
    }
    files.push_back(std::move(file));
  }
  return files;
}

std::wstring AbsoluteFolder(const JsonNode& node, const std::wstring& agent_folder) {
  std::wstring folder = ExpandAgentFolder(node.WideText(), agent_folder);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  if (folder.size() < 3 || folder[1] != L':' || folder[2] != L'\\') {
    node.Fail("expected an absolute folder below a drive, such as C:\\Agent");
  }
  return folder;
}

AgentProcessScenario ParseAgentProcess(const std::optional<JsonNode>& node) {
  AgentProcessScenario agent;
  agent.folder = kDefaultAgentFolder;
  if (!node) return agent;
  node->ExpectObject({"running", "folder", "imageName", "instances", "otherFolders"});
  if (const auto running = node->Member("running")) agent.running = running->Bool();
  if (const auto folder = node->Member("folder")) agent.folder = AbsoluteFolder(*folder, L"");
  if (const auto image = node->Member("imageName")) {
    agent.image_name = image->WideText();
    if (::_wcsicmp(agent.image_name.c_str(), L"KORAMAIN.EXE") != 0) {
      image->Fail("expected KORAMAIN.EXE in any letter case, found " + Quoted(image->Text()));
    }
  }
  if (const auto instances = node->Member("instances")) {
    agent.instances = static_cast<unsigned>(instances->WholeNumber(8));
    if (agent.instances == 0)
      instances->Fail("expected at least 1 (use \"running\": false for none)");
  }
  if (const auto others = node->Member("otherFolders")) {
    others->ExpectArray();
    for (size_t i = 0; i < others->Value().size(); ++i) {
      agent.other_folders.push_back(AbsoluteFolder(others->At(i), agent.folder));
    }
  }
  return agent;
}

std::map<std::wstring, std::optional<std::wstring>> ParseEnvironment(const JsonNode& node) {
  node.ExpectObject();
  std::map<std::wstring, std::optional<std::wstring>> environment;
  for (const auto& item : node.Value().items()) {
    const JsonNode value(item.value(), node.MemberPath(item.key()));
    if (item.key().empty() || item.key().find('=') != std::string::npos) {
      value.Fail("not a valid environment variable name");
    }
    if (item.value().is_null()) {
      environment[FromUtf8(item.key())] = std::nullopt;
    } else {
      environment[FromUtf8(item.key())] = value.WideText();
    }
  }
  return environment;
}

std::vector<std::wstring> ParseCommandLine(const JsonNode& node) {
  node.ExpectArray();
  std::vector<std::wstring> arguments;
  for (size_t i = 0; i < node.Value().size(); ++i) arguments.push_back(node.At(i).WideText());
  return arguments;
}

// Each item is a merge patch (members replace, null removes, objects merge)
// over the scenario without its "runs"; the merged scenario is checked whole,
// so a mistake is found at install, not in the middle of a demo.
std::vector<ScenarioRun> ParseRuns(const JsonNode& node, const json& document,
                                   const std::wstring& base_folder) {
  node.ExpectArray();
  json base = document;
  base.erase("runs");
  std::vector<ScenarioRun> runs;
  for (size_t i = 0; i < node.Value().size(); ++i) {
    const JsonNode item = node.At(i);
    item.ExpectObject({kPerRunFields[0], kPerRunFields[1], kPerRunFields[2], kPerRunFields[3],
                       kPerRunFields[4], kPerRunFields[5], kPerRunFields[6]});
    json merged = base;
    merged.merge_patch(item.Value());
    try {
      runs.push_back(RunOf(ParseScenario(merged, base_folder), merged));
    } catch (const ScenarioError& error) {
      throw ScenarioError(item.Path() + " (merged with the scenario): " + error.what());
    }
  }
  return runs;
}

// One of `known`, or a failure that lists them.
std::string OneOf(const JsonNode& node, const std::vector<std::string>& known) {
  const std::string name = node.Text();
  std::string listed;
  for (const std::string& candidate : known) {
    if (name == candidate) return name;
    listed += (listed.empty() ? "" : ", ") + candidate;
  }
  node.Fail("unknown value " + Quoted(name) + " (known: " + listed + ")");
}

std::string ParseLocale(const JsonNode& node) {
  std::vector<std::string> known;
  for (const EndpointLocale& locale : kEndpointLocales) known.emplace_back(locale.name);
  return OneOf(node, known);
}

// The program's own Wine setting that makes Wine report `version` to it.
RegistryKeyEntry WindowsVersionKey(const JsonNode& node) {
  const std::string version = OneOf(
      node, std::vector<std::string>(std::begin(kWindowsVersions), std::end(kWindowsVersions)));
  RegistryKeyEntry key;
  key.root = HKEY_CURRENT_USER;
  key.root_name = L"HKEY_CURRENT_USER";
  key.path = kProgramWineSettingsKey;
  key.view = RegistryView::Bit64;  // not redirected for the user's hive; Wine reads it there
  key.values.push_back({L"Version", REG_SZ, StringBytes(FromUtf8(version))});
  return key;
}

bool OptionalBool(const JsonNode& parent, std::string_view key, bool fallback) {
  const auto member = parent.Member(key);
  return member ? member->Bool() : fallback;
}

// The scripted courses: "raiseFrom", "faultFrom", "hangIn", "threadFaultFrom"
// and "fpModesFrom" each name one of `operations` (or are null),
// "overflowFrom" a list of them, "hangMs" how long "hangIn" stays.
ScriptedFaults ParseScriptedFaults(const JsonNode& section,
                                   std::initializer_list<const char*> operations) {
  const auto known = [&](const JsonNode& node) -> std::wstring {
    const std::string name = node.Text();
    std::string listed;
    for (const char* candidate : operations) {
      if (name == candidate) return FromUtf8(name);
      listed += (listed.empty() ? "" : ", ") + std::string(candidate);
    }
    node.Fail("unknown operation " + Quoted(name) + " (known: " + listed + ")");
  };
  const auto operation = [&](std::string_view key) -> std::wstring {
    const auto member = section.Member(key);
    if (!member || member->Value().is_null()) return {};
    return known(*member);
  };
  ScriptedFaults faults;
  faults.raise_from = operation("raiseFrom");
  faults.fault_from = operation("faultFrom");
  faults.hang_in = operation("hangIn");
  faults.thread_fault_from = operation("threadFaultFrom");
  faults.fp_modes_from = operation("fpModesFrom");
  if (const auto hang_ms = section.Member("hangMs")) {
    faults.hang_ms = static_cast<DWORD>(hang_ms->Unsigned(3'600'000));
  } else if (!faults.hang_in.empty()) {
    faults.hang_ms = 600'000;
  }
  if (const auto overflow = section.Member("overflowFrom")) {
    overflow->ExpectArray();
    for (std::size_t i = 0; i < overflow->Value().size(); ++i) {
      faults.overflow_from.push_back(known(overflow->At(i)));
    }
  }
  return faults;
}

}  // namespace

const char* ServiceBehaviourName(ServiceBehaviour behaviour) noexcept {
  for (const BehaviourName& entry : kBehaviours) {
    if (entry.behaviour == behaviour) return entry.name;
  }
  return "?";
}

ServiceScenario ParseServiceSection(const json& section) {
  const JsonNode node(section, "service");
  node.ExpectObject({"behaviour", "startDelaySeconds"});
  ServiceScenario service;
  if (const auto behaviour = node.Member("behaviour")) {
    const std::string name = behaviour->Text();
    bool known = false;
    for (const BehaviourName& entry : kBehaviours) {
      if (name == entry.name) {
        service.behaviour = entry.behaviour;
        known = true;
      }
    }
    if (!known) {
      behaviour->Fail(
          "unknown behaviour " + Quoted(name) +
          " (known: running, notInstalled, stopped, paused, startPending, startsLater)");
    }
  }
  const auto delay = node.Member("startDelaySeconds");
  if (service.behaviour == ServiceBehaviour::StartsLater) {
    if (!delay)
      throw ScenarioError("service.startDelaySeconds: missing (required by \"startsLater\")");
    service.start_delay_seconds = static_cast<DWORD>(delay->WholeNumber(3600));
  } else if (delay) {
    delay->Fail("only meaningful with the behaviour \"startsLater\"");
  }
  return service;
}

CommsScenario ParseCommsSection(const json& section) {
  const JsonNode node(section, "comms");
  node.ExpectObject({"getUtil", "openChannel", "setConnectionSettings", "send", "deliver",
                     "closeChannel", "createRequest", "requestStart", "requestAddParameter",
                     "requestPrepare", "requestSubmit", "raiseFrom", "faultFrom", "hangIn",
                     "hangMs", "threadFaultFrom", "overflowFrom", "fpModesFrom"});
  CommsScenario comms;
  comms.get_util = OptionalBool(node, "getUtil", true);
  comms.open_channel = OptionalBool(node, "openChannel", true);
  comms.set_connection_settings = OptionalBool(node, "setConnectionSettings", true);
  if (const auto send = node.Member("send")) comms.send = send->Bool();
  comms.deliver = OptionalBool(node, "deliver", true);
  comms.close_channel = OptionalBool(node, "closeChannel", true);
  comms.create_request = OptionalBool(node, "createRequest", true);
  comms.request_start = OptionalBool(node, "requestStart", true);
  comms.request_add_parameter = OptionalBool(node, "requestAddParameter", true);
  comms.request_prepare = OptionalBool(node, "requestPrepare", true);
  comms.request_submit = OptionalBool(node, "requestSubmit", true);
  comms.faults = ParseScriptedFaults(
      node, {"GetUtil", "OpenChannel", "CloseChannel", "CreateRequest", "ReleaseRequest",
             "SetConnectionSettings", "Send", "Start", "AddParameter", "Prepare", "Submit"});
  return comms;
}

SettingsScenario ParseSettingsSection(const json& section) {
  const JsonNode node(section, "settings");
  node.ExpectObject({"getUtil", "values", "raiseFrom", "faultFrom", "hangIn", "hangMs",
                     "threadFaultFrom", "overflowFrom", "fpModesFrom"});
  SettingsScenario settings;
  settings.get_util = OptionalBool(node, "getUtil", true);
  settings.faults = ParseScriptedFaults(node, {"GetUtil", "ReadSetting"});
  if (const auto values = node.Member("values")) {
    values->ExpectObject();
    for (const auto& item : values->Value().items()) {
      const JsonNode value(item.value(), values->MemberPath(item.key()));
      settings.values[FromUtf8(item.key(), value.Path())] = value.WideText();
    }
  }
  return settings;
}

Scenario ParseScenario(const json& document, const std::wstring& base_folder) {
  const JsonNode root(document, "");
  if (!document.is_object())
    throw ScenarioError("scenario: expected a JSON object at the top level");
  root.ExpectObject({"name", "description", "registry", "files", "service", "agentProcess", "sdk",
                     "comms", "settings", "environment", "commandLine", "startFolder", "locale",
                     "windowsVersion", "runs"});
  Scenario scenario;
  if (const auto name = root.Member("name")) scenario.name = name->Text();
  if (const auto description = root.Member("description"))
    scenario.description = description->Text();
  scenario.agent_process = ParseAgentProcess(root.Member("agentProcess"));
  const std::wstring& agent_folder = scenario.agent_process.folder;
  if (const auto registry = root.Member("registry")) {
    scenario.registry = ParseRegistry(*registry, base_folder, agent_folder);
  }
  if (const auto files = root.Member("files")) scenario.files = ParseFiles(*files, agent_folder);
  if (const auto service = root.Member("service"))
    scenario.service = ParseServiceSection(service->Value());
  if (const auto sdk = root.Member("sdk")) {
    ValidateSdkSection(sdk->Value());
    scenario.sdk = sdk->Value();
  }
  if (const auto comms = root.Member("comms")) scenario.comms = ParseCommsSection(comms->Value());
  if (const auto settings = root.Member("settings")) {
    scenario.settings = ParseSettingsSection(settings->Value());
  }
  if (const auto environment = root.Member("environment")) {
    scenario.environment = ParseEnvironment(*environment);
  }
  if (const auto command_line = root.Member("commandLine")) {
    scenario.command_line = ParseCommandLine(*command_line);
  }
  if (const auto start = root.Member("startFolder"))
    scenario.start_folder = AbsoluteFolder(*start, agent_folder);
  if (const auto locale = root.Member("locale")) scenario.locale = ParseLocale(*locale);
  // The Windows Wine reports to the program is the program's own Wine setting.
  if (const auto version = root.Member("windowsVersion"))
    scenario.registry.push_back(WindowsVersionKey(*version));
  if (const auto runs = root.Member("runs"))
    scenario.runs = ParseRuns(*runs, document, base_folder);
  return scenario;
}

ScenarioRun RunOf(const Scenario& scenario, const json& document) {
  json stand_ins = document;
  stand_ins.erase("runs");
  const std::wstring& start = scenario.start_folder;
  return ScenarioRun{std::move(stand_ins), scenario.command_line, scenario.environment,
                     start.empty() ? scenario.agent_process.folder : start, scenario.locale};
}

const EndpointLocale* FindEndpointLocale(std::string_view name) noexcept {
  for (const EndpointLocale& locale : kEndpointLocales) {
    if (name == locale.name) return &locale;
  }
  return nullptr;
}

json ReadScenarioDocument(const std::wstring& path) {
  std::string bytes;
  const std::string where = ToUtf8(path);
  if (!ReadWholeFile(path, bytes)) throw ScenarioError(where + ": cannot read the scenario file");
  return ParseJsonText(bytes, where);
}

Scenario LoadScenario(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash);
  return ParseScenario(ReadScenarioDocument(path), folder);
}

}  // namespace qm::sim
