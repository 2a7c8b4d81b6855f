#include "sdk/sdk_state.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/json_node.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

constexpr wchar_t kSimFolder[] = L"\\SimAgent\\";

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) return false;
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

// Replaces `path` as a whole, so a reader in another process never sees half a file.
void ReplaceFile(const std::wstring& path, const std::string& bytes) {
  const std::wstring temporary = path + L".tmp";
  {
    std::ofstream file(std::filesystem::path(temporary), std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot write the SDK state file");
  }
  if (!::MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw std::runtime_error("cannot replace the SDK state file");
  }
}

// Opens a log for appending: every write lands at its end, so lines of
// concurrent writers never mix.
qm::UniqueFile OpenForAppending(const std::wstring& path) {
  return qm::UniqueFile(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Appends one line with a single write; the log is a convenience, a call
// never fails because of it.
void AppendLine(HANDLE file, const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  (void)::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

SdkState::SdkState(SdkScenario scenario, SdkFiles files)
    : scenario_(std::move(scenario)), files_(std::move(files)), store_(scenario_.state) {
  if (!files_.state_file.empty()) LoadStateFile();
}

void SdkState::LoadStateFile() {
  std::string bytes;
  if (!ReadWholeFile(files_.state_file, bytes)) return;  // no file yet: the preset stands
  const nlohmann::ordered_json json = ParseJsonText(bytes, "state.json");
  if (!json.is_object()) throw ScenarioError("state.json: expected an object");
  std::map<LONG, SdkValue> loaded;
  for (const auto& item : json.items()) {
    const std::string path = "state.json[\"" + item.key() + "\"]";
    const LONG id = ParseItemName(item.key(), path);
    if (!IsValueStoreItem(id)) throw ScenarioError(path + ": not a value store item");
    loaded[id] = ParseSdkValue(item.value(), path);
  }
  store_ = std::move(loaded);
}

void SdkState::SaveStateFile() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  for (const auto& [id, value] : store_) json[ItemName(id)] = SdkValueToJson(value);
  ReplaceFile(files_.state_file, json.dump(2) + "\n");
}

SdkAnswer SdkState::ReadItem(LONG item) const {
  std::lock_guard lock(mutex_);
  if (IsValueStoreItem(item)) {
    const auto faults = scenario_.state_faults.find(item);
    const HRESULT injected =
        faults != scenario_.state_faults.end() && faults->second.get ? *faults->second.get : S_OK;
    if (FAILED(injected)) return SdkAnswer{injected, {}};
    const auto stored = store_.find(item);
    if (stored == store_.end()) return SdkAnswer{kItemNotFound, {}};
    return SdkAnswer{injected, stored->second};
  }
  if (const auto set = overrides_.find(item); set != overrides_.end())
    return SdkAnswer{S_OK, set->second};
  if (const auto configured = scenario_.config.find(item); configured != scenario_.config.end()) {
    return configured->second;
  }
  return SdkAnswer{kItemNotFound, {}};
}

HRESULT SdkState::WriteItem(LONG item, const SdkValue& value) {
  std::lock_guard lock(mutex_);
  if (!IsValueStoreItem(item)) {
    overrides_[item] = value;
    return S_OK;
  }
  const auto faults = scenario_.state_faults.find(item);
  const HRESULT injected =
      faults != scenario_.state_faults.end() && faults->second.set ? *faults->second.set : S_OK;
  if (FAILED(injected)) return injected;
  const std::map<LONG, SdkValue> previous = store_;
  store_[item] = value;
  try {
    if (!files_.state_file.empty()) SaveStateFile();
  } catch (...) {
    store_ = previous;  // what the caller was told failed must not be kept
    throw;
  }
  return injected;
}

const SdkObjectFaults* SdkState::FaultsOf(const std::wstring& prog_id) const noexcept {
  const auto found = scenario_.objects.find(prog_id);
  return found == scenario_.objects.end() ? nullptr : &found->second;
}

void SdkState::Record(nlohmann::ordered_json call) {
  std::lock_guard lock(mutex_);
  if (!files_.call_log.empty()) {
    if (!call_log_) call_log_ = OpenForAppending(files_.call_log);
    if (call_log_) AppendLine(call_log_.Get(), call.dump());
  }
  calls_.push_back(std::move(call));
}

std::vector<nlohmann::ordered_json> SdkState::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> SdkState::Violations() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> reasons;
  for (const auto& call : calls_) {
    if (call.contains("violation"))
      reasons.push_back(call.value("op", "") + ": " + call["violation"].get<std::string>());
  }
  return reasons;
}

std::map<LONG, SdkValue> SdkState::StoredValues() const {
  std::lock_guard lock(mutex_);
  return store_;
}

std::shared_ptr<SdkState> LoadInstalledSdkState(const std::wstring& module_folder) {
  const std::wstring folder = module_folder + kSimFolder;
  SdkScenario scenario;
  std::string bytes;
  if (ReadWholeFile(folder + L"scenario.json", bytes)) {
    const nlohmann::ordered_json json = ParseJsonText(bytes, "scenario.json");
    if (!json.is_object()) throw ScenarioError("scenario.json: expected an object");
    if (const auto sdk = json.find("sdk"); sdk != json.end()) scenario = ParseSdkScenario(*sdk);
  }
  return std::make_shared<SdkState>(std::move(scenario),
                                    SdkFiles{folder + L"state.json", folder + L"sdk.jsonl"});
}

void RecordLoadFailure(const std::wstring& module_folder, const std::string& message) {
  nlohmann::ordered_json record;
  record["op"] = "LoadScenario";
  record["error"] = message;
  if (const qm::UniqueFile log = OpenForAppending(module_folder + kSimFolder + L"sdk.jsonl")) {
    AppendLine(log.Get(), record.dump());
  }
}

}  // namespace qm::sim
