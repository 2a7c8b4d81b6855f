#include "upload/profile_uploader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "fake_profile.h"
#include "upload/agent_identity.h"
#include "upload/platform_cipher.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using trace::Source;

std::wstring Text(const wchar_t* text) { return text == nullptr ? L"<null>" : text; }

// What OpenChannel was given, copied while the caller's texts were alive.
struct OpenCall {
  std::wstring program_id, host_name, service, suite_version, muid;
  std::int32_t suite_id = 0;
  std::int32_t mode = 0;
  std::uint32_t credentials_size = 0;
  std::vector<std::uint32_t> reserved;
  std::string token;
  std::uint32_t token_length = 0;
  std::wstring product, client_key;
};

struct SettingsCall {
  std::uint32_t size = 0;
  std::wstring setting1, setting2, setting3;
};

class FakeChannel final : public LinkChannel {
 public:
  bool SetConnectionSettings(const ConnectionSettings* settings) override {
    settings_calls.push_back({settings->size, Text(settings->setting1), Text(settings->setting2),
                              Text(settings->setting3)});
    return true;
  }
  bool Send(const wchar_t* queue, const wchar_t* path) override {
    sends.emplace_back(Text(queue), Text(path));
    if (throw_on_send) throw std::runtime_error("transport broke");
    return send_result;
  }

  bool send_result = true;
  bool throw_on_send = false;
  std::vector<SettingsCall> settings_calls;
  std::vector<std::pair<std::wstring, std::wstring>> sends;
};

class FakeLink final : public LinkUtility {
 public:
  LinkChannel* OpenChannel(const wchar_t* program_id, const wchar_t* host_name,
                           const wchar_t* service, std::int32_t suite_id,
                           const wchar_t* suite_version, const wchar_t* muid, std::int32_t mode,
                           const UploadCredentials* credentials) override {
    OpenCall call;
    call.program_id = Text(program_id);
    call.host_name = Text(host_name);
    call.service = Text(service);
    call.suite_version = Text(suite_version);
    call.muid = Text(muid);
    call.suite_id = suite_id;
    call.mode = mode;
    call.credentials_size = credentials->size;
    call.reserved.assign(std::begin(credentials->reserved), std::end(credentials->reserved));
    call.token.assign(credentials->token, credentials->tokenLength);
    call.token_length = credentials->tokenLength;
    call.product = Text(credentials->product);
    call.client_key = Text(credentials->clientKey);
    opens.push_back(call);
    return give_channel ? &channel : nullptr;
  }
  bool CloseChannel(LinkChannel* closed) override {
    closes.push_back(closed);
    return close_result;
  }
  LinkRequest* CreateRequest(const wchar_t*) override { return nullptr; }
  void ReleaseRequest(LinkRequest*) override {}

  FakeChannel channel;
  bool give_channel = true;
  bool close_result = true;
  std::vector<OpenCall> opens;
  std::vector<LinkChannel*> closes;
};

// The library the fake loader hands out; GetUtil calls are counted.
FakeLink* g_link = nullptr;
int g_get_util_calls = 0;

LinkUtility* FakeGetUtil() {
  ++g_get_util_calls;
  return g_link;
}

// A real module keeps the load and free counts honest; the entry is ours.
HMODULE LoadStandIn(const wchar_t*) { return ::LoadLibraryW(L"kernel32.dll"); }
LinkGetUtilFunction ResolveFake(HMODULE, const char* name) {
  return std::string_view(name) == "GetUtil" ? &FakeGetUtil : nullptr;
}
HMODULE LoadNothing(const wchar_t*) {
  ::SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

constexpr LinkBridgeLoader kFakeLibrary{&LoadStandIn, &ResolveFake};

class ProfileUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    g_link = &link_;
    g_get_util_calls = 0;
    sandbox_.SetText(kAgentConfigKey, kHostNameValue, testing::StoredHostName(L"mgmt.example"));
    profile_.muid = L"0123456789ABCDEFG";
    profile_.suite_id = 42;
    profile_.suite_version = L"21.2.1";
    profile_.setting1 = L"proxy.example:8080";
    profile_.setting2 = L"user";
    profile_.setting3 = L"secret";
  }
  void TearDown() override {
    uploader_.reset();
    g_link = nullptr;
  }

  // Uploads through a fresh uploader and records only the upload's own
  // messages; the uploader lives on until the test ends.
  bool UploadFor(const IProfileDataObserver* profile, const std::wstring& path) {
    uploader_ = std::make_unique<ProfileUploader>(profile, kFakeLibrary);
    recorder_.Clear();
    return uploader_->UploadProfile(path);
  }
  bool Upload(const std::wstring& path = L"C:\\temp\\profile.dat") {
    return UploadFor(&profile_, path);
  }

  testing::RegistrySandbox sandbox_;
  trace::TraceRecorder recorder_;
  testing::FakeProfile profile_;
  FakeLink link_;
  std::unique_ptr<ProfileUploader> uploader_;
};

TEST_F(ProfileUpload, SendsTheFileWithTheSendersIdentityAndCredentials) {
  EXPECT_TRUE(Upload(L"C:\\temp\\0123456789ABCDEFG_20260101120000.dat"));

  ASSERT_EQ(link_.opens.size(), 1u);
  const OpenCall& open = link_.opens[0];
  EXPECT_EQ(open.program_id, BuildProgramIdentifier());
  EXPECT_EQ(open.host_name, L"mgmt.example");
  EXPECT_EQ(open.service, L"gccppostsegmentation");
  EXPECT_EQ(open.suite_id, 42);
  EXPECT_EQ(open.suite_version, L"21.2.1");
  EXPECT_EQ(open.muid, L"0123456789ABCDEFG");
  EXPECT_EQ(open.mode, 1);
  EXPECT_EQ(open.credentials_size, 36u);
  EXPECT_THAT(open.reserved, ElementsAre(0u, 0u, 0u, 0u));
  EXPECT_EQ(open.token, "9f03c7e2a58d41b6e7102fa39c64d85b");
  EXPECT_EQ(open.token_length, 32u);
  EXPECT_EQ(open.product, L"TVN");
  EXPECT_EQ(open.client_key, L"5e2b9c41-7d3a-4f86-b0e9-2c71a4d8f365");

  ASSERT_EQ(link_.channel.settings_calls.size(), 1u);
  const SettingsCall& settings = link_.channel.settings_calls[0];
  EXPECT_EQ(settings.size, 16u);
  EXPECT_EQ(settings.setting1, L"proxy.example:8080");
  EXPECT_EQ(settings.setting2, L"user");
  EXPECT_EQ(settings.setting3, L"secret");

  EXPECT_THAT(link_.channel.sends,
              ElementsAre(std::pair<std::wstring, std::wstring>(
                  L"ProfilerQueue", L"C:\\temp\\0123456789ABCDEFG_20260101120000.dat")));
  EXPECT_THAT(link_.closes, ElementsAre(&link_.channel));

  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(12, 13, 14, 16));
  EXPECT_EQ(recorder_.Find(Source::Upload, 12)->args.at(0).narrow, "proxy.example:8080");
  EXPECT_EQ(recorder_.Find(Source::Upload, 16)->args.at(0).narrow, "succeeded");
}

TEST_F(ProfileUpload, EmptyPathFailsWithoutCallingTheLibrary) {
  EXPECT_FALSE(Upload(L""));
  EXPECT_EQ(g_get_util_calls, 0);
  EXPECT_THAT(link_.opens, IsEmpty());
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(10));
}

TEST_F(ProfileUpload, NoChannelFailsButTheChannelIsStillClosed) {
  link_.give_channel = false;
  EXPECT_FALSE(Upload());
  EXPECT_THAT(link_.channel.sends, IsEmpty());
  EXPECT_THAT(link_.closes, ElementsAre(nullptr));
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(17));
}

TEST_F(ProfileUpload, UncleanCloseTurnsASendIntoAFailure) {
  link_.close_result = false;
  EXPECT_FALSE(Upload());
  EXPECT_EQ(link_.channel.sends.size(), 1u);
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(12, 13, 14, 16, 18));
  EXPECT_EQ(recorder_.Find(Source::Upload, 16)->args.at(0).narrow, "succeeded");
}

TEST_F(ProfileUpload, RefusedFileIsAFailure) {
  link_.channel.send_result = false;
  EXPECT_FALSE(Upload());
  EXPECT_THAT(link_.closes, ElementsAre(&link_.channel));
  EXPECT_EQ(recorder_.Find(Source::Upload, 16)->args.at(0).narrow, "failed!!");
}

TEST_F(ProfileUpload, NoFirstConnectionSettingMeansNoSettingsAtAll) {
  profile_.setting1.clear();
  EXPECT_TRUE(Upload());
  EXPECT_THAT(link_.channel.settings_calls, IsEmpty());
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(15, 16));
}

TEST_F(ProfileUpload, AbsentLaterSettingsArePassedAsNull) {
  profile_.setting2.clear();
  EXPECT_TRUE(Upload());
  ASSERT_EQ(link_.channel.settings_calls.size(), 1u);
  EXPECT_EQ(link_.channel.settings_calls[0].setting2, L"<null>");
  EXPECT_EQ(link_.channel.settings_calls[0].setting3, L"secret");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(12, 14, 16));

  link_.channel.settings_calls.clear();
  profile_.setting2 = L"user";
  profile_.setting3.clear();
  EXPECT_TRUE(Upload());
  ASSERT_EQ(link_.channel.settings_calls.size(), 1u);
  EXPECT_EQ(link_.channel.settings_calls[0].setting2, L"user");
  EXPECT_EQ(link_.channel.settings_calls[0].setting3, L"<null>");
}

TEST_F(ProfileUpload, MissingIdentityValuesAreReplacedByFallbacks) {
  profile_.muid.clear();
  profile_.suite_version.clear();
  EXPECT_TRUE(Upload());
  ASSERT_EQ(link_.opens.size(), 1u);
  EXPECT_EQ(link_.opens[0].muid, L"00000000000000000");
  EXPECT_EQ(link_.opens[0].suite_version, L"1.0.0.0");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(29, 31, 12, 13, 14, 16));
}

TEST_F(ProfileUpload, WithoutAProfileTheUploadStillGoesOut) {
  EXPECT_TRUE(UploadFor(nullptr, L"C:\\temp\\x.dat"));
  ASSERT_EQ(link_.opens.size(), 1u);
  EXPECT_EQ(link_.opens[0].suite_id, 0);
  EXPECT_THAT(link_.channel.settings_calls, IsEmpty());
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(28, 30, 15, 16));
}

TEST_F(ProfileUpload, UnreadableHostNameIsSentEmpty) {
  sandbox_.SetText(kAgentConfigKey, kHostNameValue, L"too short");
  EXPECT_TRUE(Upload());
  ASSERT_EQ(link_.opens.size(), 1u);
  EXPECT_EQ(link_.opens[0].host_name, L"");
}

TEST_F(ProfileUpload, ExceptionFromTheLibraryEndsTheUploadAsAFailure) {
  link_.channel.throw_on_send = true;
  EXPECT_FALSE(Upload());
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(12, 13, 14, 19));
}

TEST_F(ProfileUpload, LibraryWithoutUtilityObjectIsAFailure) {
  g_link = nullptr;
  EXPECT_FALSE(Upload());
  EXPECT_EQ(g_get_util_calls, 1);
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(17));
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
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(45, 23));
    EXPECT_EQ(recorder_.Find(Source::Upload, 23)->args.at(0).narrow, "linkbridge.dll");

    EXPECT_FALSE(uploader.LoadLinkBridge());
    EXPECT_TRUE(uploader.UnloadLinkBridge());
    EXPECT_FALSE(uploader.UnloadLinkBridge());
    EXPECT_TRUE(uploader.LoadLinkBridge());
  }
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(45, 23, 20, 26, 25, 23, 26));
}

TEST_F(LinkBridgeBinding, MissingLibraryLeavesAnUploaderThatCannotUpload) {
  ProfileUploader uploader(nullptr, {&LoadNothing, &ResolveFake});
  const trace::RecordedMessage* not_loaded = recorder_.Find(Source::Upload, 21);
  ASSERT_NE(not_loaded, nullptr);
  EXPECT_EQ(not_loaded->args.at(0).narrow, "linkbridge.dll");
  EXPECT_EQ(not_loaded->args.at(1).value, ERROR_MOD_NOT_FOUND);

  recorder_.Clear();
  EXPECT_FALSE(uploader.UploadProfile(L"C:\\temp\\x.dat"));
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(11));
}

TEST_F(LinkBridgeBinding, SystemLoaderFindsNoLibraryHere) {
  ProfileUploader uploader(nullptr);
  const trace::RecordedMessage* not_loaded = recorder_.Find(Source::Upload, 21);
  ASSERT_NE(not_loaded, nullptr);
  EXPECT_EQ(not_loaded->args.at(1).value, ERROR_MOD_NOT_FOUND);
}

TEST_F(LinkBridgeBinding, LibraryWithoutEntryIsFreed) {
  ProfileUploader uploader(nullptr, {&LoadStandIn, SystemLinkBridgeLoader().resolve});
  const trace::RecordedMessage* no_entry = recorder_.Find(Source::Upload, 22);
  ASSERT_NE(no_entry, nullptr);
  EXPECT_EQ(no_entry->args.at(0).narrow, "GetUtil");
  EXPECT_EQ(no_entry->args.at(1).value, ERROR_PROC_NOT_FOUND);
  // Nothing is held: unloading has nothing to free.
  EXPECT_FALSE(uploader.UnloadLinkBridge());
  EXPECT_FALSE(uploader.LoadLinkBridge());
}

}  // namespace
}  // namespace qm
