// The communications and settings library stand-ins, loaded as the program
// loads them: a DLL whose folder holds SimAgent\scenario.json.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent_test_support.h"
#include "collector/settings_hub.h"
#include "common/sim_files.h"
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
    if (!ReadWholeFile(JoinPath(testing::BinFolder(), dll), bytes)) throw std::runtime_error("stand-in not built");
    folder_.Write(dll, bytes);
    SetScenario(scenario);
    module_.Reset(::LoadLibraryW(folder_.File(dll).c_str()));
    if (!module_) throw std::runtime_error("stand-in does not load");
  }

  void SetScenario(const std::string& scenario) const { folder_.Write(L"SimAgent\\scenario.json", scenario); }

  template <typename Function>
  Function Export() const {
    return GetProcAddressAs<Function>(module_.Get(), "GetUtil");
  }

  [[nodiscard]] std::vector<json> LogLines() const {
    std::vector<json> lines;
    std::istringstream log(testing::ReadFileText(folder_.File(L"SimAgent\\comms.jsonl")));
    for (std::string line; std::getline(log, line);) lines.push_back(json::parse(line));
    return lines;
  }

  [[nodiscard]] const testing::ScratchFolder& Folder() const { return folder_; }

 private:
  testing::ScratchFolder folder_;
  UniqueModule module_;
};

TEST(CommsStandIn, RecordsAnUploadAndDeliversTheFile) {
  LoadedStandIn library(L"linkbridge.dll", "{}");
  LinkUtility* utility = library.Export<LinkGetUtilFunction>()();
  ASSERT_NE(utility, nullptr);

  const char token[] = "9f03c7e2a58d41b6e7102fa39c64d85bTRAILING";
  UploadCredentials credentials{kUploadCredentialsSize, {0, 0, 0, 0}, token, 32, L"TVN", L"key-1"};
  LinkChannel* channel = utility->OpenChannel(L"Quillmark_1_2_3_4", L"mgmt.example", L"gccppostsegmentation",
                                              1234, L"18.07.02.1234", L"M1", 1, &credentials);
  ASSERT_NE(channel, nullptr);
  ConnectionSettings settings{kConnectionSettingsSize, L"proxy:8080", nullptr, L"third"};
  EXPECT_TRUE(channel->SetConnectionSettings(&settings));
  const std::wstring data_file = library.Folder().Write(L"M1_20240101.dat", "{\"MUID\":\"M1\"}");
  EXPECT_TRUE(channel->Send(L"ProfilerQueue", data_file.c_str()));
  EXPECT_TRUE(utility->CloseChannel(channel));

  EXPECT_EQ(testing::ReadFileText(library.Folder().File(
                L"SimAgent\\queue\\gccppostsegmentation\\ProfilerQueue\\M1_20240101.dat")),
            "{\"MUID\":\"M1\"}");
  const auto lines = library.LogLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0]["call"], "GetUtil");
  const json& open = lines[1];
  EXPECT_EQ(open["call"], "OpenChannel");
  EXPECT_EQ(open["programId"], "Quillmark_1_2_3_4");
  EXPECT_EQ(open["hostName"], "mgmt.example");
  EXPECT_EQ(open["suiteId"], 1234);
  EXPECT_EQ(open["mode"], 1);
  EXPECT_EQ(open["credentials"],
            json::parse(R"({"size":36,"reserved":[0,0,0,0],"token":"9f03c7e2a58d41b6e7102fa39c64d85b",
                           "tokenLength":32,"product":"TVN","clientKey":"key-1"})"));
  EXPECT_EQ(lines[2]["settings"],
            json::parse(R"({"size":16,"setting1":"proxy:8080","setting2":null,"setting3":"third"})"));
  EXPECT_EQ(lines[3]["queue"], "ProfilerQueue");
  EXPECT_EQ(lines[3]["result"], true);
  EXPECT_TRUE(lines[3]["delivered"].is_string());
  EXPECT_EQ(lines[4]["call"], "CloseChannel");
  EXPECT_EQ(lines[4]["channel"], open["result"]);
}

TEST(CommsStandIn, AnswersAsTheScenarioSays) {
  LoadedStandIn library(L"linkbridge.dll", R"({"comms": {"openChannel": false, "closeChannel": false}})");
  LinkUtility* utility = library.Export<LinkGetUtilFunction>()();
  ASSERT_NE(utility, nullptr);
  EXPECT_EQ(utility->OpenChannel(L"p", L"", L"s", 0, L"v", L"m", 1, nullptr), nullptr);
  EXPECT_FALSE(utility->CloseChannel(nullptr));

  library.SetScenario(R"({"comms": {"send": false}})");
  utility = library.Export<LinkGetUtilFunction>()();
  LinkChannel* channel = utility->OpenChannel(L"p", L"", L"s", 0, L"v", L"m", 1, nullptr);
  ASSERT_NE(channel, nullptr);
  const std::wstring data_file = library.Folder().Write(L"d.dat", "x");
  EXPECT_FALSE(channel->Send(L"ProfilerQueue", data_file.c_str()));
  EXPECT_TRUE(utility->CloseChannel(channel));
  EXPECT_FALSE(FolderExists(library.Folder().File(L"SimAgent\\queue")));

  library.SetScenario(R"({"comms": {"getUtil": false}})");
  EXPECT_EQ(library.Export<LinkGetUtilFunction>()(), nullptr);

  const auto lines = library.LogLines();
  EXPECT_TRUE(lines[1]["credentials"].is_null());
  EXPECT_TRUE(lines[1]["result"].is_null());
  EXPECT_EQ(lines[2]["result"], false);
}

TEST(CommsStandIn, RecordsATrackingRequest) {
  LoadedStandIn library(L"linkbridge.dll", R"({"comms": {"requestSubmit": false}})");
  LinkUtility* utility = library.Export<LinkGetUtilFunction>()();
  ASSERT_NE(utility, nullptr);
  LinkRequest* request = utility->CreateRequest(L"http://tracking.example/track/campaign/details.html");
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(request->Start(L"", L"", L"", L"M1", L"187477", L"prfFailOMX"));
  EXPECT_TRUE(request->Prepare());
  EXPECT_TRUE(request->AddParameter(L"omxError", L"12"));
  EXPECT_FALSE(request->Submit(nullptr, 7));
  utility->ReleaseRequest(request);

  const auto lines = library.LogLines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[1]["url"], "http://tracking.example/track/campaign/details.html");
  EXPECT_EQ(lines[2]["eventName"], "prfFailOMX");
  EXPECT_EQ(lines[2]["customId"], "187477");
  EXPECT_EQ(lines[4]["name"], "omxError");
  EXPECT_EQ(lines[4]["value"], "12");
  EXPECT_TRUE(lines[5]["settings"].is_null());
  EXPECT_EQ(lines[5]["options"], 7);
  EXPECT_EQ(lines[5]["result"], false);
  EXPECT_EQ(lines[6]["call"], "ReleaseRequest");
}

TEST(SettingsStandIn, AnswersTheMobileSettingWithinTheCallersBuffer) {
  LoadedStandIn library(L"Util_SettingsHub.dll",
                        R"({"settings": {"values": {"REGISTER.AgentFeatures.Mobile": "1", "Long": "0123456789"}}})");
  SettingsUtility* settings = library.Export<SettingsGetUtilFunction>()();
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
  EXPECT_EQ(library.Export<SettingsGetUtilFunction>()(), nullptr);
}

}  // namespace
}  // namespace qm::sim
