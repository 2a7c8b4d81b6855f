// The licence step: the products and their licences as the agent's licence
// information gives them.
#include "collector/licences.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qm::testing
