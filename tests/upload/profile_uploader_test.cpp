#include "upload/profile_uploader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "fake_link.h"
#include "fake_profile.h"
#include "support/text.h"
#include "upload/agent_identity.h"
#include "upload/platform_cipher.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using trace::Source;

using testing::FakeLink;
using testing::g_library;
using testing::kFakeLibrary;

constexpr wchar_t kPath[] = L"C:\\temp\\profile.dat";

class ProfileUpload : public ::testing::Test {
 public:
  void SetUp() override {
    testing::UseFakeLibrary(link);
    sandbox.SetText(kAgentConfigKey, kHostNameValue, testing::StoredHostName(L"mgmt.example"));
    profile = testing::FakeProfile{};
    profile.muid = L"0123456789ABCDEFG";
    profile.suite_id = 42;
    profile.suite_version = L"21.2.1";
    profile.setting1 = L"proxy.example:8080";
    profile.setting2 = L"user";
    profile.setting3 = L"secret";
    link = FakeLink{};
    path = kPath;
    with_profile = true;
  }

  // Uploads through a fresh uploader and tells what happened: the library's
  // transcript, the outcome and the upload's own messages (16 with its word),
  // e.g. "GetUtil Open Close(null) => false [17]".
  std::wstring Upload() {
    uploader = std::make_unique<ProfileUploader>(with_profile ? &profile : nullptr, kFakeLibrary);
    recorder.Clear();
    std::wstring story = uploader->UploadProfile(path) ? L" => true [" : L" => false [";
    for (const trace::RecordedMessage& m : recorder.Messages()) {
      if (m.source != Source::Upload) continue;
      story += std::to_wstring(m.number) +
               (m.number == 16 ? L":" + FromAnsi(m.args.at(0).narrow) : L"") + L" ";
    }
    return link.calls + story.substr(0, story.size() - 1) + L"]";
  }

  testing::RegistrySandbox sandbox;
  trace::TraceRecorder recorder;
  testing::FakeProfile profile;
  FakeLink link;
  std::wstring path;
  bool with_profile = true;
  std::unique_ptr<ProfileUploader> uploader;
};

using Arrange = void (*)(ProfileUpload&);

TEST_F(ProfileUpload, EveryCourseCallsTheLibraryInOrderAndReportsItsOutcome) {
  const std::wstring send = L" Send(ProfilerQueue|C:\\temp\\profile.dat) Close(channel)";
  const std::wstring sent = L"GetUtil Open Settings(16|proxy.example:8080|user|secret)" + send;
  const std::pair<Arrange, std::wstring> courses[] = {
      {[](ProfileUpload&) {}, sent + L" => true [12 13 14 16:succeeded]"},
      {[](ProfileUpload& t) { t.path.clear(); }, L" => false [10]"},
      {[](ProfileUpload&) { g_library.gives_utility = false; }, L"GetUtil => false [47]"},
      {[](ProfileUpload& t) { t.link.give_channel = false; },
       L"GetUtil Open Close(null) => false [17]"},
      {[](ProfileUpload& t) { t.link.send_result = false; },
       sent + L" => false [12 13 14 16:failed!!]"},
      {[](ProfileUpload& t) { t.link.close_result = false; },
       sent + L" => false [12 13 14 16:succeeded 18]"},
      {[](ProfileUpload& t) { t.profile.setting1.clear(); },
       L"GetUtil Open" + send + L" => true [15 16:succeeded]"},
      {[](ProfileUpload& t) { t.profile.setting2.clear(); },
       L"GetUtil Open Settings(16|proxy.example:8080|<null>|secret)" + send +
           L" => true [12 14 16:succeeded]"},
      {[](ProfileUpload& t) { t.profile.setting3.clear(); },
       L"GetUtil Open Settings(16|proxy.example:8080|user|<null>)" + send +
           L" => true [12 13 16:succeeded]"},
  };
  for (const auto& [arrange, story] : courses) {
    SetUp();
    arrange(*this);
    EXPECT_EQ(Upload(), story);
  }
  EXPECT_EQ(recorder.Find(Source::Upload, 12)->args.at(0).narrow, "proxy.example:8080");
}

TEST_F(ProfileUpload, ExceptionFromTheLibraryEndsTheUploadAsAFailureAndStillClosesTheChannel) {
  const std::pair<Arrange, std::wstring> endings[] = {
      {[](ProfileUpload& t) { t.link.throw_on_send = true; },
       L"Close(channel) => false [12 13 14 19]"},
      {[](ProfileUpload& t) { t.link.raise_on_send = 0xE06D7363; },
       L"Close(channel) => false [12 13 14 46 19]"},
  };
  for (const auto& [arrange, story] : endings) {
    SetUp();
    arrange(*this);
    EXPECT_THAT(Upload(), ::testing::EndsWith(story));
  }
  EXPECT_EQ(recorder.Find(Source::Upload, 46)->args.at(0).narrow, "Send");
}

// Each fallback is traced: 28/30 without a profile, 29/31 for its empty texts.
// This test program has no file version, so its identifier is the fallback one.
TEST_F(ProfileUpload, ChannelIsOpenedWithTheSendersIdentityOrItsFallbacks) {
  const struct {
    Arrange arrange;
    std::wstring identity, outcome;
  } cases[] = {
      {[](ProfileUpload&) {},
       L"Quillmark_0_0_0_0|mgmt.example|gccppostsegmentation|42|21.2.1|0123456789ABCDEFG|1",
       L"=> true [12 13 14 16:succeeded]"},
      {[](ProfileUpload& t) { t.profile.muid = t.profile.suite_version = L""; },
       L"Quillmark_0_0_0_0|mgmt.example|gccppostsegmentation|42|1.0.0.0|00000000000000000|1",
       L"=> true [29 31 12 13 14 16:succeeded]"},
      {[](ProfileUpload& t) { t.with_profile = false; },
       L"Quillmark_0_0_0_0|mgmt.example|gccppostsegmentation|0|1.0.0.0|00000000000000000|1",
       L"=> true [28 30 15 16:succeeded]"},
      {[](ProfileUpload& t) { t.sandbox.SetText(kAgentConfigKey, kHostNameValue, L"too short"); },
       L"Quillmark_0_0_0_0||gccppostsegmentation|42|21.2.1|0123456789ABCDEFG|1",
       L"=> true [12 13 14 16:succeeded]"},
  };
  for (const auto& c : cases) {
    SetUp();
    c.arrange(*this);
    EXPECT_THAT(Upload(), ::testing::EndsWith(c.outcome));
    EXPECT_EQ(link.identity, c.identity);
  }
  EXPECT_EQ(
      link.credentials,
      L"36|0,0,0,0,|9f03c7e2a58d41b6e7102fa39c64d85b|TVN|5e2b9c41-7d3a-4f86-b0e9-2c71a4d8f365");
}

class LinkBridgeBinding : public ::testing::Test {
 protected:
  testing::RegistrySandbox sandbox_;
  trace::TraceRecorder recorder_;
};

TEST_F(LinkBridgeBinding, ConstructionReadsTheHostNameThenLoadsTheLibrary) {
  sandbox_.SetText(kAgentConfigKey, kHostNameValue, testing::StoredHostName(L"mgmt"));
  {
    ProfileUploader uploader(nullptr, kFakeLibrary);
    EXPECT_EQ(uploader.HostName(), L"mgmt");
    EXPECT_EQ(recorder_.Find(Source::Upload, 23)->args.at(0).narrow, "linkbridge.dll");

    EXPECT_FALSE(uploader.LoadLinkBridge());
    EXPECT_TRUE(uploader.UnloadLinkBridge());
    EXPECT_FALSE(uploader.UnloadLinkBridge());
    EXPECT_TRUE(uploader.LoadLinkBridge());
  }
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(45, 23, 20, 26, 25, 23, 26));
}

TEST_F(LinkBridgeBinding, LibraryThatCannotBeBoundLeavesNothingHeldAndNoUpload) {
  struct Case {
    const char* name;
    LinkBridgeLoader loader;
    int trace;
    const char* missing;
    DWORD error;
  };
  const Case cases[] = {
      {"library missing",
       {[](const wchar_t*) -> HMODULE { return ::SetLastError(ERROR_MOD_NOT_FOUND), nullptr; },
        &testing::ResolveFake},
       21,
       "linkbridge.dll",
       ERROR_MOD_NOT_FOUND},
      {"system loader finds none here", SystemLinkBridgeLoader(), 21, "linkbridge.dll",
       ERROR_MOD_NOT_FOUND},
      {"entry missing",
       {&testing::LoadStandIn, SystemLinkBridgeLoader().resolve},
       22,
       "GetUtil",
       ERROR_PROC_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.Clear();
    ProfileUploader uploader(nullptr, c.loader);
    const trace::RecordedMessage* failed = recorder_.Find(Source::Upload, c.trace);
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->args.at(0).narrow, c.missing);
    EXPECT_EQ(failed->args.at(1).value, static_cast<std::int32_t>(c.error));

    recorder_.Clear();
    EXPECT_FALSE(uploader.UploadProfile(kPath));
    EXPECT_FALSE(uploader.UnloadLinkBridge());  // nothing to free
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(11, 25));
  }
}

}  // namespace
}  // namespace qm
