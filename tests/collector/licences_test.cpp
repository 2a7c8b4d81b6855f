// The licence step: the products and their licences as the agent's licence
// information gives them.
#include "collector/licences.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "collector/sim_collector.h"

namespace qm::testing {
namespace {

using sim::SdkValue;
using trace::Source;

constexpr double k7March2021 = 44262.0;

sim::SdkAnswer Info(std::vector<sim::SdkMapEntry> products) {
  return Answer(SdkValue::Map({{L"Products", SdkValue::Map(std::move(products))}}));
}

// The "Products" member of the profile's reduced document.
std::wstring ProductsOf(const CProfileData& profile) {
  const std::wstring json = profile.ToCompareJson(DocumentInputs{});
  const auto start = json.find(L"\"Products\":");
  return json.substr(start, json.find(L",\"AVState\"") - start);
}

TEST_F(Collection, TakesEveryProductShapeTheAgentGivesIntoItsLicenceInfo) {
  // What the end-to-end scenario's licences carry is its delivery's.
  const SdkValue beyond_calendar = SdkValue::Map({{L"ExpirationDate", SdkValue::Date(1.0e7)}});
  const struct {
    const char* name;
    sim::SdkAnswer info;
    std::uint32_t module_status;
    bool result;
    const wchar_t* products;
    int trace;
  } rows[] = {
      {"licences in index order, missing values at their defaults",
       Info({{L"P1", SdkValue::Map({{L"Licenses", SdkValue::Map({{L"K1", beyond_calendar},
                                                                 {L"K2", SdkValue::Map({})}})}})}}),
       0x10001, true,
       LR"("Products":[{"ProductID":"P1","VersionType":"0","MyAccountID":"","ModuleStatus":"65537","Licenses":[)"
       LR"({"ActivationCode":"K1","LicenseVersionType":"0","ClientID":"0","ProductLicenseID":"0","ActivationDate":"","ExpirationDate":""},)"
       LR"({"ActivationCode":"K2","LicenseVersionType":"0","ClientID":"0","ProductLicenseID":"0","ActivationDate":"","ExpirationDate":""}]}])",
       98},
      {"a single licence from the product map, capped module status",
       Info({{L"P2", SdkValue::Map({{L"VersionType", SdkValue::Text(L"2")},
                                    {L"ActivationCode", SdkValue::Text(L"AC")},
                                    {L"ExpirationDate", SdkValue::Date(k7March2021)}})}}),
       0x200000, true,
       LR"("Products":[{"ProductID":"P2","VersionType":"2","MyAccountID":"","ModuleStatus":"1048576","Licenses":[)"
       LR"({"ActivationCode":"AC","LicenseVersionType":"2","ClientID":"0","ProductLicenseID":"P2","ActivationDate":"","ExpirationDate":"2021-03-07"}]}])",
       115},
      {"a single licence without a version type", Info({{L"P3", SdkValue::Map({})}}), 0, true,
       LR"("Products":[{"ProductID":"P3","VersionType":"0","MyAccountID":"","ModuleStatus":"0","Licenses":[)"
       LR"({"ActivationCode":"","ClientID":"0","ProductLicenseID":"P3","ActivationDate":"","ExpirationDate":""}]}])",
       109},
      // Values of the wrong kind leave out their product or licence entry only.
      {"entries that are no maps",
       Info({{L"BAD", SdkValue::Text(L"x")},
             {L"P4",
              SdkValue::Map({{L"Licenses", SdkValue::Map({{L"K", SdkValue::Of(VT_I4, 1)}})}})},
             {L"", SdkValue::Map({})}}),
       0, true,
       LR"("Products":[{"ProductID":"P4","VersionType":"0","MyAccountID":"","ModuleStatus":"0"}])",
       89},
      {"no products", Info({}), 0, true, LR"("Products":[])", 0},
      {"no Products map", Answer(SdkValue::Map({})), 0, false, LR"("Products":[])", 80},
      {"licence information refused", {E_ACCESSDENIED, {}}, 0, false, LR"("Products":[])", 79},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim::SdkScenario scenario = AgentScenario();
    scenario.license = row.info;
    ASSERT_TRUE(CollectWith(std::move(scenario)));
    CProfileData profile;
    profile.SetDefaultModuleStatus(row.module_status);
    recorder_.Clear();
    EXPECT_EQ(CollectLicenseInfo(collector_->Session(), profile), row.result);
    EXPECT_EQ(ProductsOf(profile), row.products);
    EXPECT_TRUE(row.trace == 0 || recorder_.Find(Source::Collector, row.trace) != nullptr);
  }
}

// The licence walk's messages with their arguments: "82(0,2) 85(P2,Licenses)".
std::string LicenceWalk(const trace::TraceRecorder& recorder) {
  std::string walk;
  for (const trace::RecordedMessage& m : recorder.Messages()) {
    if (m.source != Source::Collector || m.number < 81 || m.number > 115) continue;
    std::string args;
    for (const trace::RecordedArg& arg : m.args)
      args += (args.empty() ? "" : ",") +
              (arg.kind == trace::Arg::Kind::Int ? std::to_string(arg.value) : arg.narrow);
    walk += (walk.empty() ? "" : " ") + std::to_string(m.number) + "(" + args + ")";
  }
  return walk;
}

// Each value read or missed is traced under its own number with its key and
// the record it belongs to; values COM cannot turn into text or a date are missed.
TEST_F(Collection, TracesEachStepOfTheLicenceWalkUnderItsOwnNumber) {
  const auto values = [](SdkValue text, SdkValue date) {
    return std::vector<sim::SdkMapEntry>{{L"ClientID", text},       {L"ProductLicenseID", text},
                                         {L"ActivationCode", text}, {L"VersionType", text},
                                         {L"MyAccountID", text},    {L"ActivationDate", date},
                                         {L"ExpirationDate", date}};
  };
  const auto products = [&](SdkValue text, SdkValue date) {
    std::vector<sim::SdkMapEntry> with_licences = values(text, date);
    with_licences.push_back(
        {L"Licenses", SdkValue::Map({{L"K1", SdkValue::Map(values(text, date))}})});
    return Info(
        {{L"P1", SdkValue::Map(with_licences)}, {L"P2", SdkValue::Map(values(text, date))}});
  };
  const struct {
    const char* name;
    sim::SdkAnswer info;
    std::map<std::wstring, HRESULT> map_faults;
    const char* walk;
  } rows[] = {
      {"every value read",
       products(SdkValue::Text(L"v"), SdkValue::Date(k7March2021)),
       {},
       "82(0,2) 87(0,1) 91(ClientID,K1,v) 93(ProductLicenseID,K1,v) 95(VersionType,K1,v) "
       "97(ActivationDate,K1,2021-03-07) 99(ExpirationDate,K1,2021-03-07) 112(VersionType,P1,v) "
       "114(MyAccountID,P1,v) 82(1,2) 85(P2,Licenses) 102(ClientID,P2,v) "
       "104(ActivationCode,P2,v) 106(ActivationDate,P2,2021-03-07) "
       "108(ExpirationDate,P2,2021-03-07) 110(VersionType,P2,v) 112(VersionType,P2,v) "
       "114(MyAccountID,P2,v)"},
      {"no value turns into text or a date",
       products(SdkValue::NoObject(), SdkValue::Text(L"v")),
       {},
       "82(0,2) 87(0,1) 90(ClientID,K1) 92(ProductLicenseID,K1) 94(VersionType,K1) "
       "96(ActivationDate,K1) 98(ExpirationDate,K1) 111(VersionType,P1) 113(MyAccountID,P1) "
       "82(1,2) 85(P2,Licenses) 101(ClientID,P2) 103(ActivationCode,P2) 105(ActivationDate,P2) "
       "107(ExpirationDate,P2) 109(VersionType,P2) 111(VersionType,P2) 113(MyAccountID,P2)"},
      {"keys and entries that cannot be had",
       Info({{L"", SdkValue::Map({})},
             {L"P3", SdkValue::Map({{L"Licenses", SdkValue::Text(L"v")}})},
             {L"P4",
              SdkValue::Map({{L"Licenses", SdkValue::Map({{L"", SdkValue::Map({})},
                                                          {L"K", SdkValue::Text(L"v")}})}})}}),
       {},
       "81(0) 82(1,3) 84(P3) 82(2,3) 86(0) 87(1,2) 89(K) 111(VersionType,P4) "
       "113(MyAccountID,P4)"},
      {"a failing KeyAt",
       products(SdkValue::Text(L"v"), SdkValue::Date(k7March2021)),
       {{L"KeyAt", E_FAIL}},
       "81(0) 81(1)"},
      {"a failing Count",
       products(SdkValue::Text(L"v"), SdkValue::Date(k7March2021)),
       {{L"Count", E_FAIL}},
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim::SdkScenario scenario = AgentScenario();
    scenario.license = row.info;
    scenario.objects[L"Omx.VariantMap"].calls = row.map_faults;
    ASSERT_TRUE(CollectWith(std::move(scenario)));
    CProfileData profile;
    recorder_.Clear();
    EXPECT_TRUE(CollectLicenseInfo(collector_->Session(), profile));
    EXPECT_EQ(LicenceWalk(recorder_), row.walk);
  }
}

}  // namespace
}  // namespace qm::testing
