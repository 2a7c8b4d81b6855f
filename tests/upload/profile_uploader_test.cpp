#include "upload/profile_uploader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "common/registry_sandbox.h"
#include "common/sim_host_name.h"
#include "diagnostics/trace_recorder.h"
#include "fake_link.h"
#include "profile/profile_data.h"
#include "support/text.h"
#include "upload/agent_identity.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using trace::Source;

using testing::kFakeLibrary;

constexpr wchar_t kPath[] = L"C:\\temp\\profile.dat";
// Made before any test replaces HKEY_LOCAL_MACHINE, where the platform's provider is found.
const std::wstring kStoredHostName = sim::AgentHostNameValue(L"mgmt.example");

class ProfileUpload : public ::testing::Test {
 public:
  void SetUp() override {
    link = {};
    testing::g_link = &link;
    sandbox.SetText(kAgentConfigKey, kHostNameValue, kStoredHostName);
    profile.SetMUID(L"0123456789ABCDEFG");
    profile.SetSuiteID(42);
    profile.SetSuiteVersion(L"21.2.1");
    profile.SetConnectionSetting1(L"proxy.example:8080");
    profile.SetConnectionSetting2(L"user");
    profile.SetConnectionSetting3(L"secret");
    path = kPath;
    with_profile = true;
  }

  // Uploads through a fresh uploader and tells what happened: the library's
  // transcript, the outcome and the upload's own messages (16 and 46 with
  // their word), e.g. "GetUtil Open(...) Close(null) => false [17]".
  std::wstring Upload() {
    ProfileUploader uploader(with_profile ? &profile : nullptr, kFakeLibrary);
    recorder.Clear();
    std::wstring story = uploader.UploadProfile(path) ? L" => true [" : L" => false [";
    for (const trace::RecordedMessage& m : recorder.Messages()) {
      if (m.source != Source::Upload) continue;
      const bool worded = m.number == 16 || m.number == 46;
      story +=
          std::to_wstring(m.number) + (worded ? L":" + FromAnsi(m.args.at(0).narrow) : L"") + L" ";
    }
    return link.calls + story.substr(0, story.size() - 1) + L"]";
  }

  testing::RegistrySandbox sandbox;
  trace::TraceRecorder recorder;
  CProfileData profile;
  testing::FakeLink link;
  std::wstring path;
  bool with_profile = true;
};

using Arrange = void (*)(ProfileUpload&);

// The sender's fallbacks are traced: 29/31 for the profile's empty texts,
// 28/30 without a profile. This test program has no file version, so its
// identifier is the one of a version of zeros.
TEST_F(ProfileUpload, EveryCourseCallsTheLibraryInOrderAndReportsItsOutcome) {
  const std::wstring open = L"GetUtil Open(Quillmark_0_0_0_0|mgmt.example|gccppostsegmentation|";
  const std::wstring sender = open + L"42|21.2.1|0123456789ABCDEFG|1)";
  const std::wstring settings = L" Settings(16|proxy.example:8080|user|secret)";
  const std::wstring send = L" Send(ProfilerQueue|C:\\temp\\profile.dat) Close(channel)";
  const std::wstring sent = sender + settings + send;
  const std::pair<Arrange, std::wstring> courses[] = {
      {[](ProfileUpload&) {}, sent + L" => true [12 13 14 16:succeeded]"},
      {[](ProfileUpload& t) { t.path.clear(); }, L" => false [10]"},
      {[](ProfileUpload& t) { t.link.gives_utility = false; }, L"GetUtil => false [47]"},
      {[](ProfileUpload& t) { t.link.give_channel = false; },
       sender + L" Close(null) => false [17]"},
      {[](ProfileUpload& t) { t.link.send_result = false; },
       sent + L" => false [12 13 14 16:failed!!]"},
      {[](ProfileUpload& t) { t.link.close_result = false; },
       sent + L" => false [12 13 14 16:succeeded 18]"},
      // Whatever ends the upload, the channel is still closed.
      {[](ProfileUpload& t) { t.link.throw_on_send = true; }, sent + L" => false [12 13 14 19]"},
      {[](ProfileUpload& t) { t.link.raise_on_send = 0xE06D7363; },
       sent + L" => false [12 13 14 46:Send 19]"},
      {[](ProfileUpload& t) { t.profile.SetConnectionSetting1(L""); },
       sender + send + L" => true [15 16:succeeded]"},
      {[](ProfileUpload& t) { t.profile.SetConnectionSetting2(L""); },
       sender + L" Settings(16|proxy.example:8080|<null>|secret)" + send +
           L" => true [12 14 16:succeeded]"},
      {[](ProfileUpload& t) { t.profile.SetConnectionSetting3(L""); },
       sender + L" Settings(16|proxy.example:8080|user|<null>)" + send +
           L" => true [12 13 16:succeeded]"},
      {[](ProfileUpload& t) {
         t.profile.SetMUID(L"");
         t.profile.SetSuiteVersion(L"");
       },
       open + L"42|1.0.0.0|00000000000000000|1)" + settings + send +
           L" => true [29 31 12 13 14 16:succeeded]"},
      {[](ProfileUpload& t) { t.with_profile = false; },
       open + L"0|1.0.0.0|00000000000000000|1)" + send + L" => true [28 30 15 16:succeeded]"},
      // A host name that cannot be read is sent empty.
      {[](ProfileUpload& t) { t.sandbox.SetText(kAgentConfigKey, kHostNameValue, L"too short"); },
       L"GetUtil Open(Quillmark_0_0_0_0||gccppostsegmentation|42|21.2.1|0123456789ABCDEFG|1)" +
           settings + send + L" => true [12 13 14 16:succeeded]"},
  };
  for (const auto& [arrange, story] : courses) {
    SetUp();
    arrange(*this);
    EXPECT_EQ(Upload(), story);
  }
  EXPECT_EQ(recorder.Find(Source::Upload, 12)->args.at(0).narrow, "proxy.example:8080");
  EXPECT_EQ(
      link.credentials,
      L"36|0|0|0|0|9f03c7e2a58d41b6e7102fa39c64d85b|TVN|5e2b9c41-7d3a-4f86-b0e9-2c71a4d8f365");
}

TEST_F(ProfileUpload, ConstructionReadsTheHostNameThenLoadsTheLibraryOnce) {
  {
    ProfileUploader held(nullptr, kFakeLibrary);
    EXPECT_EQ(recorder.Find(Source::Upload, 23)->args.at(0).narrow, "linkbridge.dll");

    EXPECT_FALSE(held.LoadLinkBridge());
    EXPECT_TRUE(held.UnloadLinkBridge());
    EXPECT_FALSE(held.UnloadLinkBridge());
    EXPECT_TRUE(held.LoadLinkBridge());
  }
  EXPECT_THAT(recorder.Numbers(Source::Upload), ElementsAre(45, 23, 20, 26, 25, 23, 26));
}

TEST_F(ProfileUpload, LibraryThatCannotBeBoundLeavesNothingHeldAndNoUpload) {
  struct Case {
    LinkBridgeLoader loader;
    int trace;
    const char* missing;
    DWORD error;
  };
  const Case cases[] = {
      {LinkBridgeLoader{}, 21, "linkbridge.dll", ERROR_MOD_NOT_FOUND},  // none here
      {{&testing::LoadStandIn, LinkBridgeLoader{}.resolve}, 22, "GetUtil", ERROR_PROC_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    recorder.Clear();
    ProfileUploader unbound(nullptr, c.loader);
    EXPECT_FALSE(unbound.UploadProfile(kPath));
    EXPECT_FALSE(unbound.UnloadLinkBridge());  // nothing to free
    EXPECT_THAT(recorder.Numbers(Source::Upload), ElementsAre(45, c.trace, 11, 25));
    const trace::RecordedMessage* failed = recorder.Find(Source::Upload, c.trace);
    EXPECT_EQ(failed->args.at(0).narrow, c.missing);
    EXPECT_EQ(failed->args.at(1).value, static_cast<std::int32_t>(c.error));
  }
}

}  // namespace
}  // namespace qm
