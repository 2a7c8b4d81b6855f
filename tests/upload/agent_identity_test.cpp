#include "upload/agent_identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "fake_profile.h"
#include "upload/platform_cipher.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using trace::Source;

class AgentHostName : public ::testing::Test {
 protected:
  void StoreHostName(const std::wstring& stored) const {
    sandbox_.SetText(kAgentConfigKey, kHostNameValue, stored);
  }
  std::wstring Payload(std::wstring_view host_name) const {
    const std::wstring stored = testing::StoredHostName(host_name);
    return stored.substr(kHostNamePrefixBytes);
  }
  static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

  qm::testing::RegistrySandbox sandbox_;
  trace::TraceRecorder recorder_;
};

TEST_F(AgentHostName, StoredValueDeciphersToTheHostName) {
  StoreHostName(testing::StoredHostName(L"mgmt-01.corp.example"));
  EXPECT_EQ(ReadAgentHostName(), L"mgmt-01.corp.example");
  ASSERT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(45));
  EXPECT_EQ(recorder_.Find(Source::Upload, 45)->args.at(0).wide, L"mgmt-01.corp.example");
}

TEST_F(AgentHostName, MissingKeyOrValueLeavesItEmpty) {
  EXPECT_EQ(ReadAgentHostName(), L"");
  ASSERT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(38));
  EXPECT_EQ(recorder_.Find(Source::Upload, 38)->args.at(0).narrow,
            "Software\\Orvex Security\\Halden Agent\\Config\\Services\\DEFAULTS");

  recorder_.Clear();
  sandbox_.SetText(kAgentConfigKey, L"Other", L"x");
  EXPECT_EQ(ReadAgentHostName(), L"");
  ASSERT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(39));
  EXPECT_EQ(recorder_.Find(Source::Upload, 39)->args.at(0).narrow, "Hostname");
}

TEST_F(AgentHostName, StoredValueLongerThan259UnitsIsNotRead) {
  StoreHostName(std::wstring(260, L'A'));
  EXPECT_EQ(ReadAgentHostName(), L"");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(39));

  // 259 units are read: the payload (250 characters) then fails decoding.
  recorder_.Clear();
  StoreHostName(std::wstring(259, L'A'));
  EXPECT_EQ(ReadAgentHostName(), L"");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(43));
}

TEST_F(AgentHostName, StoredValueWithoutPayloadIsRejected) {
  for (const wchar_t* stored : {L"v1:AGENT:", L"v1:", L""}) {
    recorder_.Clear();
    StoreHostName(stored);
    EXPECT_EQ(ReadAgentHostName(), L"") << Narrow(stored);
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(43)) << Narrow(stored);
  }
}

TEST_F(AgentHostName, PrefixIsSkippedWithoutBeingRead) {
  StoreHostName(testing::StoredHostName(L"host", L"=====?!\t="));
  EXPECT_EQ(ReadAgentHostName(), L"host");
}

TEST_F(AgentHostName, MalformedPayloadFailsDecoding) {
  const std::string good = Narrow(Payload(L"host"));
  for (const std::string& payload : {good.substr(1), good.substr(0, good.size() - 1) + "*",
                                     std::string("====")}) {
    recorder_.Clear();
    EXPECT_EQ(DecryptHostName(payload), L"") << payload;
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(43)) << payload;
  }
}

TEST_F(AgentHostName, CiphertextThatDoesNotDecipherIsRefused) {
  // 12 bytes: not whole blocks.
  EXPECT_EQ(DecryptHostName("AAAAAAAAAAAAAAAA"), L"");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(44));
  // Whole blocks whose padding does not read back.
  recorder_.Clear();
  EXPECT_EQ(DecryptHostName("AAAAAAAAAAA="), L"");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(44));
}

TEST_F(AgentHostName, HostNameMustFitItsBufferWithATerminator) {
  const std::wstring longest(259, L'h');
  EXPECT_EQ(DecryptHostName(Narrow(Payload(longest))), longest);

  recorder_.Clear();
  EXPECT_EQ(DecryptHostName(Narrow(Payload(std::wstring(260, L'h')))), L"");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(44));

  recorder_.Clear();
  EXPECT_EQ(DecryptHostName(Narrow(Payload(std::wstring(400, L'h')))), L"");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(44));
}

TEST_F(AgentHostName, TextEndsAtItsFirstTerminator) {
  EXPECT_EQ(DecryptHostName(Narrow(Payload(std::wstring(L"host\0tail", 9)))), L"host");
}

class ProgramIdentifier : public ::testing::Test {
 protected:
  trace::TraceRecorder recorder_;
};

TEST_F(ProgramIdentifier, ComesFromTheFileVersion) {
  UniqueModule versioned(::LoadLibraryW(L"qm_versioned_4_0_0_48.dll"));
  ASSERT_TRUE(versioned);
  EXPECT_EQ(ProgramIdentifierOf(versioned.Get()), L"Quillmark_4_0_0_48");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ::testing::IsEmpty());
}

TEST_F(ProgramIdentifier, IsAllZerosWithoutAVersionResource) {
  UniqueModule unversioned(::LoadLibraryW(L"qm_unversioned.dll"));
  ASSERT_TRUE(unversioned);
  EXPECT_EQ(ProgramIdentifierOf(unversioned.Get()), L"Quillmark_0_0_0_0");
  // This test program carries no version resource either.
  EXPECT_EQ(BuildProgramIdentifier(), L"Quillmark_0_0_0_0");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ::testing::IsEmpty());
}

TEST_F(ProgramIdentifier, FallsBackWhenTheModuleFileIsUnknown) {
  EXPECT_EQ(ProgramIdentifierOf(reinterpret_cast<HMODULE>(0x10)), L"Quillmark_1.0.0");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(33));
}

class IdentityFallbacks : public ::testing::Test {
 protected:
  trace::TraceRecorder recorder_;
  testing::FakeProfile profile_;
};

TEST_F(IdentityFallbacks, SuiteVersionFallsBackTo1000) {
  EXPECT_EQ(SuiteVersionOrDefault(nullptr), L"1.0.0.0");
  EXPECT_EQ(SuiteVersionOrDefault(&profile_), L"1.0.0.0");
  profile_.suite_version = L"21.1.68";
  EXPECT_EQ(SuiteVersionOrDefault(&profile_), L"21.1.68");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(28, 29));
}

TEST_F(IdentityFallbacks, MUIDFallsBackToSeventeenZeros) {
  EXPECT_EQ(MUIDOrDefault(nullptr), L"00000000000000000");
  EXPECT_EQ(MUIDOrDefault(&profile_), L"00000000000000000");
  profile_.muid = L"ABCDEF0123456789A";
  EXPECT_EQ(MUIDOrDefault(&profile_), L"ABCDEF0123456789A");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(30, 31));
}

}  // namespace
}  // namespace qm
