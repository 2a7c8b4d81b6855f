// Stand-in for the agent's communications library. Every call is written,
// with its arguments and its answer, as one JSON line to
// <own folder>\SimAgent\comms.jsonl; each sent file is delivered by copying it
// into <own folder>\SimAgent\queue\<service>\<queue>\. The answers follow the
// scenario's "comms" section.

#include <windows.h>

#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/library_contract.h"
#include "common/scenario.h"
#include "common/scenario_error.h"
#include "common/scripted_fault.h"
#include "common/sim_files.h"
#include "common/sim_text.h"
#include "upload/linkbridge.h"

namespace {

using nlohmann::json;
using qm::sim::ToUtf8;

constexpr size_t kMaxLoggedText = 32768;

json Text(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  return ToUtf8(std::wstring_view(text, ::wcsnlen(text, kMaxLoggedText)));
}

json CredentialsJson(const qm::UploadCredentials* credentials) {
  if (credentials == nullptr) return nullptr;
  json record = {{"size", credentials->size}};
  // A record that declares itself smaller than ours is not read any further.
  if (credentials->size < sizeof(qm::UploadCredentials)) return record;
  record["reserved"] = {credentials->reserved[0], credentials->reserved[1],
                        credentials->reserved[2], credentials->reserved[3]};
  record["tokenLength"] = credentials->tokenLength;
  if (credentials->token == nullptr || credentials->tokenLength > kMaxLoggedText) {
    record["token"] = nullptr;
  } else {
    record["token"] = std::string(credentials->token, credentials->tokenLength);
  }
  record["product"] = Text(credentials->product);
  record["clientKey"] = Text(credentials->clientKey);
  return record;
}

json SettingsJson(const qm::ConnectionSettings* settings) {
  if (settings == nullptr) return nullptr;
  json record = {{"size", settings->size}};
  if (settings->size < sizeof(qm::ConnectionSettings)) return record;
  record["setting1"] = Text(settings->setting1);
  record["setting2"] = Text(settings->setting2);
  record["setting3"] = Text(settings->setting3);
  return record;
}

// Keeps a name from the caller usable as one folder name.
std::wstring FolderName(const wchar_t* text) {
  std::wstring name = text == nullptr ? L"(none)" : std::wstring(text, ::wcsnlen(text, 200));
  for (wchar_t& c : name) {
    if (c < 32 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr) c = L'_';
  }
  if (name.empty() || name == L"." || name == L"..") name = L"_";
  return name;
}

class Log {
 public:
  void Open(const std::wstring& sim_folder) {
    (void)qm::sim::EnsureFolder(sim_folder);
    path_ = qm::sim::JoinPath(sim_folder, L"comms.jsonl");
  }

  void Write(json entry) {
    entry["seq"] = ++sequence_;
    entry["pid"] = ::GetCurrentProcessId();
    (void)qm::sim::AppendLine(path_, entry.dump());
  }

 private:
  std::wstring path_;
  unsigned sequence_ = 0;
};

struct Library {
  qm::sim::CommsScenario scenario;
  std::wstring sim_folder;
  Log log;
  unsigned channels = 0;
  unsigned requests = 0;
};

Library& library() {
  static Library instance;
  return instance;
}

// Behaves as the scenario scripts `operation`. A call it ends, or stays
// inside, is logged first, so that it is on record whatever follows.
void EndIfScripted(const wchar_t* operation, json& entry) {
  const qm::sim::ScriptedFaults& faults = library().scenario.faults;
  if (const char* ending = qm::sim::ScriptedEnding(faults, operation)) {
    entry["raised"] = ending;
    library().log.Write(std::move(entry));
  } else if (faults.hang_in == operation) {
    json hanging = entry;
    hanging["hangingMs"] = faults.hang_ms;
    library().log.Write(std::move(hanging));
  }
  qm::sim::ActAsScripted(faults, operation);
}

// Notes in `entry` why the call lies outside the program's contract; true
// when it does, and the call is then answered as failed.
bool Refused(json& entry, std::string_view previous_step = {}) {
  std::string violation = qm::sim::CommsViolation(entry, previous_step);
  if (violation.empty()) return false;
  entry["violation"] = std::move(violation);
  return true;
}

// Answers `answer` unless the scenario ends `operation` with a structured
// exception or the call lies outside the contract.
bool Answer(const wchar_t* operation, json entry, bool answer,
            std::string_view previous_step = {}) {
  EndIfScripted(operation, entry);
  if (Refused(entry, previous_step)) answer = false;
  entry["result"] = answer;
  library().log.Write(std::move(entry));
  return answer;
}

class Channel final : public qm::LinkChannel {
 public:
  Channel(std::string id, std::wstring service)
      : id_(std::move(id)), service_(std::move(service)) {}
  const std::string& id() const { return id_; }

  bool SetConnectionSettings(const qm::ConnectionSettings* settings) override {
    return Answer(
        L"SetConnectionSettings",
        {{"call", "SetConnectionSettings"}, {"channel", id_}, {"settings", SettingsJson(settings)}},
        library().scenario.set_connection_settings);
  }

  bool Send(const wchar_t* queue_name, const wchar_t* file_path) override {
    json entry = {
        {"call", "Send"}, {"channel", id_}, {"queue", Text(queue_name)}, {"file", Text(file_path)}};
    EndIfScripted(L"Send", entry);
    const qm::sim::CommsScenario& scenario = library().scenario;
    // A library that accepts a file for delivery refuses one that is not
    // there, unless the scenario says otherwise.
    const bool accepted = !Refused(entry) && scenario.send.value_or(file_path != nullptr &&
                                                                    qm::sim::FileExists(file_path));
    if (accepted && scenario.deliver && file_path != nullptr) {
      entry["delivered"] = Deliver(queue_name, file_path);
    }
    entry["result"] = accepted;
    library().log.Write(std::move(entry));
    return accepted;
  }

 private:
  json Deliver(const wchar_t* queue_name, const wchar_t* file_path) {
    const std::wstring folder =
        qm::sim::JoinPath(qm::sim::JoinPath(qm::sim::JoinPath(library().sim_folder, L"queue"),
                                            FolderName(service_.c_str())),
                          FolderName(queue_name));
    if (!qm::sim::EnsureFolder(folder)) return nullptr;
    const std::wstring name = FolderName(qm::sim::FileNameOf(file_path).c_str());
    std::wstring target = qm::sim::JoinPath(folder, name);
    for (int copy = 2; qm::sim::FileExists(target) && copy < 1000; ++copy) {
      target = qm::sim::JoinPath(folder, name + L"." + std::to_wstring(copy));
    }
    if (!::CopyFileW(file_path, target.c_str(), TRUE)) {
      return json{{"error", ::GetLastError()}};
    }
    return ToUtf8(target);
  }

  std::string id_;
  std::wstring service_;
};

class Request final : public qm::LinkRequest {
 public:
  explicit Request(std::string id) : id_(std::move(id)) {}
  const std::string& id() const { return id_; }

  // Answers one step; the contract fixes which step may follow which.
  bool Step(const wchar_t* operation, json entry, bool answer) {
    const std::string previous = std::exchange(previous_step_, entry["call"].get<std::string>());
    return Answer(operation, std::move(entry), answer, previous);
  }

  bool Start(const wchar_t* reserved1, const wchar_t* reserved2, const wchar_t* reserved3,
             const wchar_t* muid, const wchar_t* custom_id, const wchar_t* event_name) override {
    return Step(L"Start",
                {{"call", "Start"},
                 {"request", id_},
                 {"reserved1", Text(reserved1)},
                 {"reserved2", Text(reserved2)},
                 {"reserved3", Text(reserved3)},
                 {"muid", Text(muid)},
                 {"customId", Text(custom_id)},
                 {"eventName", Text(event_name)}},
                library().scenario.request_start);
  }

  bool AddParameter(const wchar_t* name, const wchar_t* value) override {
    return Step(
        L"AddParameter",
        {{"call", "AddParameter"}, {"request", id_}, {"name", Text(name)}, {"value", Text(value)}},
        library().scenario.request_add_parameter);
  }

  bool Prepare() override {
    return Step(L"Prepare", {{"call", "Prepare"}, {"request", id_}},
                library().scenario.request_prepare);
  }

  bool Submit(const qm::ConnectionSettings* settings, std::int32_t options) override {
    return Step(L"Submit",
                {{"call", "Submit"},
                 {"request", id_},
                 {"settings", SettingsJson(settings)},
                 {"options", options}},
                library().scenario.request_submit);
  }

 private:
  std::string id_;
  std::string previous_step_ = "CreateRequest";
};

class Utility final : public qm::LinkUtility {
 public:
  qm::LinkChannel* OpenChannel(const wchar_t* program_id, const wchar_t* host_name,
                               const wchar_t* service_name, std::int32_t suite_id,
                               const wchar_t* suite_version, const wchar_t* muid, std::int32_t mode,
                               const qm::UploadCredentials* credentials) override {
    json entry = {{"call", "OpenChannel"},
                  {"programId", Text(program_id)},
                  {"hostName", Text(host_name)},
                  {"serviceName", Text(service_name)},
                  {"suiteId", suite_id},
                  {"suiteVersion", Text(suite_version)},
                  {"muid", Text(muid)},
                  {"mode", mode},
                  {"credentials", CredentialsJson(credentials)}};
    EndIfScripted(L"OpenChannel", entry);
    if (Refused(entry) || !library().scenario.open_channel) {
      entry["result"] = nullptr;
      library().log.Write(std::move(entry));
      return nullptr;
    }
    auto channel = std::make_unique<Channel>("channel#" + std::to_string(++library().channels),
                                             service_name == nullptr ? L"" : service_name);
    entry["result"] = channel->id();
    library().log.Write(std::move(entry));
    return channel.release();
  }

  bool CloseChannel(qm::LinkChannel* channel) override {
    std::unique_ptr<Channel> owned(static_cast<Channel*>(channel));
    return Answer(
        L"CloseChannel",
        {{"call", "CloseChannel"}, {"channel", owned ? json(owned->id()) : json(nullptr)}},
        library().scenario.close_channel);
  }

  qm::LinkRequest* CreateRequest(const wchar_t* url) override {
    json entry = {{"call", "CreateRequest"}, {"url", Text(url)}};
    EndIfScripted(L"CreateRequest", entry);
    if (Refused(entry) || !library().scenario.create_request) {
      entry["result"] = nullptr;
      library().log.Write(std::move(entry));
      return nullptr;
    }
    auto request = std::make_unique<Request>("request#" + std::to_string(++library().requests));
    entry["result"] = request->id();
    library().log.Write(std::move(entry));
    return request.release();
  }

  void ReleaseRequest(qm::LinkRequest* request) override {
    std::unique_ptr<Request> owned(static_cast<Request*>(request));
    json entry = {{"call", "ReleaseRequest"},
                  {"request", owned ? json(owned->id()) : json(nullptr)}};
    EndIfScripted(L"ReleaseRequest", entry);
    library().log.Write(std::move(entry));
  }
};

}  // namespace

extern "C" __declspec(dllexport) qm::LinkUtility* GetUtil() {
  static Utility utility;
  Library& state = library();
  const HMODULE self = qm::sim::ThisModule();
  state.sim_folder = qm::sim::SimFolderOf(qm::sim::ModuleFolder(self));
  state.log.Open(state.sim_folder);
  try {
    const auto document = qm::sim::ReadScenarioDocument(qm::sim::ScenarioPathOf(self));
    state.scenario = document.contains("comms") ? qm::sim::ParseCommsSection(document["comms"])
                                                : qm::sim::CommsScenario{};
  } catch (const qm::sim::ScenarioError& error) {
    state.log.Write({{"call", "GetUtil"}, {"error", error.what()}, {"result", nullptr}});
    return nullptr;
  }
  json entry = {{"call", "GetUtil"}};
  EndIfScripted(L"GetUtil", entry);
  const bool hand_out = state.scenario.get_util;
  entry["result"] = hand_out ? json("utility") : json(nullptr);
  state.log.Write(std::move(entry));
  return hand_out ? &utility : nullptr;
}
