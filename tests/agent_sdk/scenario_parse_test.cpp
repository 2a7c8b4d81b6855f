#include <gtest/gtest.h>

#include <string>

#include "sdk_test_support.h"

namespace qm::sim {
namespace {

// The example a tester copies from the documentation must stay valid.
TEST(SdkScenarioParsing, DocumentedExampleParses) {
  const std::string doc = testing::ReadText(QM_SDK_DOC_PATH);
  const size_t start = doc.find("```json\n");
  ASSERT_NE(start, std::string::npos) << QM_SDK_DOC_PATH;
  const size_t end = doc.find("```", start + 8);
  const auto scenario = nlohmann::ordered_json::parse("{" + doc.substr(start + 8, end - start - 8) + "}");
  const SdkScenario parsed = ParseSdkScenario(scenario["sdk"]);
  EXPECT_EQ(parsed.config.at(0x4009015).value.text, L"18.07.02.1234");
  EXPECT_EQ(parsed.urls.count(L"S-1-5-21-0-0-0-1000"), 1u);
}

// A typo in a scenario must stop it, or a test would silently run another course.
TEST(SdkScenarioParsing, UnknownFieldIsRefused) {
  EXPECT_THROW((void)testing::ScenarioFrom(R"({"confg": {}})"), ScenarioError);
}

}  // namespace
}  // namespace qm::sim
