// The communications and settings library stand-ins, loaded as the program
// loads them: a DLL whose folder holds SimAgent\scenario.json.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "common/scratch_folder.h"
#include "collector/settings_hub.h"
#include "common/sim_files.h"
#include "common/sim_text.h"
#include "support/unique_resource.h"
#include "upload/linkbridge.h"

namespace qm::sim {
namespace {

using nlohmann::json;

// A copy of a stand-in DLL in a scratch agent folder, loaded from there.
class LoadedStandIn {
 public:
  LoadedStandIn(const wchar_t* dll, const std::string& scenario) {
    std::string bytes;
    if (!ReadWholeFile(JoinPath(QM_SIM_BIN_FOLDER, dll), bytes)) throw std::runtime_error("stand-in not built");
    folder.Write(dll, bytes);
    SetScenario(scenario);
    module_.Reset(::LoadLibraryW(folder.File(dll).c_str()));
    if (!module_) throw std::runtime_error("stand-in does not load");
  }

  void SetScenario(const std::string& scenario) const { folder.Write(L"SimAgent\\scenario.json", scenario); }

  template <typename Function>
  auto GetUtil() const {
    return GetProcAddressAs<Function>(module_.Get(), "GetUtil")();
  }

  // The communications log as an array, without the sequence and process numbers.
  [[nodiscard]] json Log() const {
    json lines = json::array();
    std::istringstream log(testing::ReadFileText(folder.File(L"SimAgent\\comms.jsonl")));
    for (std::string line; std::getline(log, line);) {
      lines.push_back(json::parse(line));
      lines.back().erase("seq");
      lines.back().erase("pid");
    }
    return lines;
  }

  testing::ScratchFolder folder;

 private:
  UniqueModule module_;
};

TEST(CommsStandIn, RecordsAnUploadAndDeliversTheFile) {
  LoadedStandIn library(L"linkbridge.dll", "{}");
  LinkUtility* utility = library.GetUtil<LinkGetUtilFunction>();
  ASSERT_NE(utility, nullptr);
  const char token[] = "9f03c7e2a58d41b6e7102fa39c64d85bTRAILING";
  UploadCredentials credentials{kUploadCredentialsSize, {0, 0, 0, 0}, token, 32, L"TVN", L"key-1"};
  LinkChannel* channel = utility->OpenChannel(L"Quillmark_1_2_3_4", L"mgmt.example", L"gccppostsegmentation",
                                              1234, L"18.07.02.1234", L"M1", 1, &credentials);
  ASSERT_NE(channel, nullptr);
  ConnectionSettings settings{kConnectionSettingsSize, L"proxy:8080", nullptr, L"third"};
  EXPECT_TRUE(channel->SetConnectionSettings(&settings));
  const std::wstring data_file = library.folder.Write(L"M1_20240101.dat", "{\"MUID\":\"M1\"}");
  EXPECT_TRUE(channel->Send(L"ProfilerQueue", data_file.c_str()));
  EXPECT_TRUE(utility->CloseChannel(channel));

  const std::wstring delivered =
      library.folder.File(L"SimAgent\\queue\\gccppostsegmentation\\ProfilerQueue\\M1_20240101.dat");
  EXPECT_EQ(testing::ReadFileText(delivered), "{\"MUID\":\"M1\"}");
  json expected = json::parse(R"([{"call": "GetUtil", "result": "utility"},
      {"call": "OpenChannel", "programId": "Quillmark_1_2_3_4", "hostName": "mgmt.example",
       "serviceName": "gccppostsegmentation", "suiteId": 1234, "suiteVersion": "18.07.02.1234", "muid": "M1",
       "mode": 1, "result": "channel#1", "credentials": {"size": 36, "reserved": [0, 0, 0, 0],
       "token": "9f03c7e2a58d41b6e7102fa39c64d85b", "tokenLength": 32, "product": "TVN", "clientKey": "key-1"}},
      {"call": "SetConnectionSettings", "channel": "channel#1", "result": true,
       "settings": {"size": 16, "setting1": "proxy:8080", "setting2": null, "setting3": "third"}},
      {"call": "Send", "channel": "channel#1", "queue": "ProfilerQueue", "result": true},
      {"call": "CloseChannel", "channel": "channel#1", "result": true}])");
  expected[3]["file"] = ToUtf8(data_file);
  expected[3]["delivered"] = ToUtf8(delivered);
  EXPECT_EQ(library.Log(), expected);
}

TEST(CommsStandIn, AnswersAsTheScenarioSays) {
  LoadedStandIn library(L"linkbridge.dll", R"({"comms": {"openChannel": false, "closeChannel": false}})");
  LinkUtility* utility = library.GetUtil<LinkGetUtilFunction>();
  ASSERT_NE(utility, nullptr);
  EXPECT_EQ(utility->OpenChannel(L"p", L"", L"s", 0, L"v", L"m", 1, nullptr), nullptr);
  EXPECT_FALSE(utility->CloseChannel(nullptr));

  library.SetScenario(R"({"comms": {"send": false}})");
  utility = library.GetUtil<LinkGetUtilFunction>();
  LinkChannel* channel = utility->OpenChannel(L"p", L"", L"s", 0, L"v", L"m", 1, nullptr);
  ASSERT_NE(channel, nullptr);
  EXPECT_FALSE(channel->Send(L"ProfilerQueue", library.folder.Write(L"d.dat", "x").c_str()));
  EXPECT_TRUE(utility->CloseChannel(channel));
  EXPECT_FALSE(FolderExists(library.folder.File(L"SimAgent\\queue")));

  library.SetScenario(R"({"comms": {"getUtil": false}})");
  EXPECT_EQ(library.GetUtil<LinkGetUtilFunction>(), nullptr);
  const json log = library.Log();
  EXPECT_TRUE(log[1]["credentials"].is_null());
  EXPECT_TRUE(log[1]["result"].is_null());
  EXPECT_EQ(log[2]["result"], false);
}

TEST(CommsStandIn, RecordsATrackingRequest) {
  LoadedStandIn library(L"linkbridge.dll", R"({"comms": {"requestSubmit": false}})");
  LinkUtility* utility = library.GetUtil<LinkGetUtilFunction>();
  ASSERT_NE(utility, nullptr);
  LinkRequest* request = utility->CreateRequest(L"http://tracking.example/track/campaign/details.html");
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(request->Start(L"", L"", L"", L"M1", L"187477", L"prfFailOMX"));
  EXPECT_TRUE(request->Prepare());
  EXPECT_TRUE(request->AddParameter(L"omxError", L"12"));
  EXPECT_FALSE(request->Submit(nullptr, 7));
  utility->ReleaseRequest(request);
  EXPECT_EQ(library.Log(), json::parse(R"([{"call": "GetUtil", "result": "utility"},
      {"call": "CreateRequest", "url": "http://tracking.example/track/campaign/details.html", "result": "request#1"},
      {"call": "Start", "request": "request#1", "reserved1": "", "reserved2": "", "reserved3": "", "muid": "M1",
       "customId": "187477", "eventName": "prfFailOMX", "result": true},
      {"call": "Prepare", "request": "request#1", "result": true},
      {"call": "AddParameter", "request": "request#1", "name": "omxError", "value": "12", "result": true},
      {"call": "Submit", "request": "request#1", "settings": null, "options": 7, "result": false},
      {"call": "ReleaseRequest", "request": "request#1"}])"));
}

TEST(SettingsStandIn, AnswersTheMobileSettingWithinTheCallersBuffer) {
  LoadedStandIn library(L"Util_SettingsHub.dll",
                        R"({"settings": {"values": {"REGISTER.AgentFeatures.Mobile": "1", "Long": "0123456789"}}})");
  SettingsUtility* settings = library.GetUtil<SettingsGetUtilFunction>();
  ASSERT_NE(settings, nullptr);
  wchar_t buffer[260] = {};
  std::uint32_t size = 260;
  EXPECT_EQ(settings->ReadSetting(L"REGISTER.AgentFeatures.Mobile", buffer, &size, 0), 0);
  EXPECT_STREQ(buffer, L"1");
  EXPECT_EQ(size, 1u);
  wchar_t small[10] = {L'x'};
  size = 10;
  EXPECT_EQ(settings->ReadSetting(L"Long", small, &size, 0), ERROR_MORE_DATA);
  EXPECT_EQ(small[0], L'x');
  size = 260;
  EXPECT_EQ(settings->ReadSetting(L"Unknown", buffer, &size, 0), ERROR_FILE_NOT_FOUND);

  library.SetScenario(R"({"settings": {"getUtil": false}})");
  EXPECT_EQ(library.GetUtil<SettingsGetUtilFunction>(), nullptr);
}

}  // namespace
}  // namespace qm::sim
