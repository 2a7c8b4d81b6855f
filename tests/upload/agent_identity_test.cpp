#include "upload/agent_identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "upload/platform_cipher.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using trace::Source;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The Base64 payload of a stored host name, without its prefix.
std::string Payload(std::wstring_view host_name) {
  return Narrow(testing::StoredHostName(host_name).substr(kHostNamePrefixBytes));
}

class AgentIdentity : public ::testing::Test {
 protected:
  testing::RegistrySandbox sandbox_;
  trace::TraceRecorder recorder_;
};

TEST_F(AgentIdentity, StoredHostNameIsReadOnlyWhenItFitsAndHasAPayload) {
  struct Case {
    const char* name;
    std::wstring stored;
    std::wstring host;
    std::vector<int> traces;
  };
  const Case cases[] = {
      {"deciphered",
       testing::StoredHostName(L"mgmt-01.corp.example"),
       L"mgmt-01.corp.example",
       {45}},
      {"prefix skipped unread", testing::StoredHostName(L"host", L"=====?!\t="), L"host", {45}},
      {"260 units are not read", std::wstring(260, L'A'), L"", {39}},
      {"259 units are read, then fail decoding", std::wstring(259, L'A'), L"", {43}},
      {"prefix only", L"v1:AGENT:", L"", {43}},
      {"shorter than the prefix", L"v1:", L"", {43}},
      {"empty", L"", L"", {43}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_.SetText(kAgentConfigKey, kHostNameValue, c.stored);
    recorder_.Clear();
    EXPECT_EQ(ReadAgentHostName(), c.host);
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAreArray(c.traces));
  }
}

TEST_F(AgentIdentity, MissingKeyOrValueIsTracedByName) {
  EXPECT_EQ(ReadAgentHostName(), L"");
  EXPECT_EQ(recorder_.Find(Source::Upload, 38)->args.at(0).narrow,
            "Software\\Orvex Security\\Halden Agent\\Config\\Services\\DEFAULTS");
  sandbox_.SetText(kAgentConfigKey, L"Other", L"x");
  EXPECT_EQ(ReadAgentHostName(), L"");
  EXPECT_EQ(recorder_.Find(Source::Upload, 39)->args.at(0).narrow, "Hostname");
  sandbox_.SetText(kAgentConfigKey, kHostNameValue, testing::StoredHostName(L"h"));
  EXPECT_EQ(ReadAgentHostName(), L"h");
  EXPECT_EQ(recorder_.Find(Source::Upload, 45)->args.at(0).wide, L"h");
}

TEST_F(AgentIdentity, PayloadMustDecodeDecipherAndFitTheHostNameBuffer) {
  const std::string good = Payload(L"host");
  const std::wstring longest(259, L'h');
  struct Case {
    const char* name;
    std::string payload;
    std::wstring host;
    std::vector<int> traces;
  };
  const Case cases[] = {
      {"not a multiple of 4", good.substr(1), L"", {43}},
      {"outside the alphabet", good.substr(0, good.size() - 1) + "*", L"", {43}},
      {"padding only", "====", L"", {43}},
      {"12 bytes: not whole blocks", "AAAAAAAAAAAAAAAA", L"", {44}},
      {"padding does not read back", "AAAAAAAAAAA=", L"", {44}},
      {"259 units fit with the terminator", Payload(longest), longest, {45}},
      {"260 units are refused", Payload(std::wstring(260, L'h')), L"", {44}},
      {"400 units are refused", Payload(std::wstring(400, L'h')), L"", {44}},
      {"text ends at its first terminator", Payload(std::wstring(L"host\0tail", 9)), L"host", {45}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.Clear();
    EXPECT_EQ(DecryptHostName(c.payload), c.host);
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAreArray(c.traces));
  }
}

TEST_F(AgentIdentity, ProgramIdentifierComesFromTheFileVersion) {
  const UniqueModule versioned(::LoadLibraryW(L"qm_versioned_4_0_0_48.dll"));
  const UniqueModule unversioned(::LoadLibraryW(L"qm_unversioned.dll"));
  ASSERT_TRUE(versioned && unversioned);
  EXPECT_EQ(ProgramIdentifierOf(versioned.Get()), L"Quillmark_4_0_0_48");
  EXPECT_EQ(ProgramIdentifierOf(unversioned.Get()), L"Quillmark_0_0_0_0");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), IsEmpty());

  EXPECT_EQ(ProgramIdentifierOf(reinterpret_cast<HMODULE>(0x10)), L"Quillmark_1.0.0");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(33));
}

}  // namespace
}  // namespace qm
