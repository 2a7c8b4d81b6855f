#include "upload/agent_identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "common/sim_host_name.h"
#include "diagnostics/trace_recorder.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using trace::Source;

// The Base64 payload of a stored host name, without its prefix.
std::string Payload(std::wstring_view host_name) {
  const std::wstring stored = sim::AgentHostNameValue(host_name).substr(kHostNamePrefixBytes);
  return std::string(stored.begin(), stored.end());
}
// Made before any test replaces HKEY_LOCAL_MACHINE, where the platform's provider is found.
const std::wstring kStoredHostName =
    sim::AgentHostNameValue(L"mgmt-01.corp.example", L"=====?!\t=");

// What one reading gave back and traced.
template <typename Input>
struct Case {
  const char* name;
  Input input;
  std::wstring host;
  std::vector<int> traces;
};

class AgentIdentity : public ::testing::Test {
 protected:
  testing::RegistrySandbox sandbox_;
  trace::TraceRecorder recorder_;
};

TEST_F(AgentIdentity, StoredHostNameIsReadOnlyWhenItFitsAndHasAPayload) {
  EXPECT_EQ(ReadAgentHostName(), L"");
  EXPECT_EQ(recorder_.Find(Source::Upload, 38)->args.at(0).narrow,
            "Software\\Orvex Security\\Halden Agent\\Config\\Services\\DEFAULTS");
  const Case<std::wstring> cases[] = {
      {"deciphered, the prefix skipped unread", kStoredHostName, L"mgmt-01.corp.example", {45}},
      {"259 units are read, then fail decoding", std::wstring(259, L'A'), L"", {43}},
      {"shorter than the prefix", L"OVXHN:v2", L"", {43}},
      {"260 units are not read", std::wstring(260, L'A'), L"", {39}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_.SetText(kAgentConfigKey, kHostNameValue, c.input);
    recorder_.Clear();
    EXPECT_EQ(ReadAgentHostName(), c.host);
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAreArray(c.traces));
  }
  EXPECT_EQ(recorder_.Find(Source::Upload, 39)->args.at(0).narrow, "Hostname");
}

TEST_F(AgentIdentity, PayloadMustDecodeDecipherAndFitTheHostNameBuffer) {
  const std::wstring longest(259, L'h');
  const Case<std::string> cases[] = {
      {"padding does not read back", "AAAAAAAAAAA=", L"", {44}},
      {"259 units fit with the terminator", Payload(longest), longest, {45}},
      {"260 units are refused", Payload(std::wstring(260, L'h')), L"", {44}},
      {"400 units are refused", Payload(std::wstring(400, L'h')), L"", {44}},
      {"text ends at its first terminator", Payload(std::wstring(L"host\0tail", 9)), L"host", {45}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.Clear();
    EXPECT_EQ(DecryptHostName(c.input), c.host);
    EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAreArray(c.traces));
  }
  EXPECT_EQ(recorder_.Find(Source::Upload, 45)->args.at(0).wide, L"host");
}

// The file version's reading is the end-to-end delivery's (the real program
// has one) and the uploader's (this test program has none).
TEST_F(AgentIdentity, ProgramIdentifierOfAModuleWithoutFileNameIsTheFallback) {
  EXPECT_EQ(ProgramIdentifierOf(reinterpret_cast<HMODULE>(0x10)), L"Quillmark_1.0.0");
  EXPECT_THAT(recorder_.Numbers(Source::Upload), ElementsAre(33));
}

}  // namespace
}  // namespace qm
