#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "sdk_test_support.h"

namespace qm::sim {
namespace {

using testing::Session;

class ValueStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() / ("qm_sdk_store_" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  SdkFiles Files() const {
    return SdkFiles{(folder_ / "state.json").wstring(), (folder_ / "sdk.jsonl").wstring()};
  }

  static HRESULT Write(Session& session, LONG item, const Variant& value) {
    return session.Make<IOmxConfiguration>(omx::kConfigurationProgId)
        ->SetValue(omx::kDefaultScope, item, value.Get());
  }
  static Variant Read(Session& session, LONG item, HRESULT& result) {
    Variant value = Variant::UInt(0);
    result = session.Make<IOmxConfiguration>(omx::kConfigurationProgId)
                 ->GetValue(omx::kDefaultScope, item, value.Mutable());
    return value;
  }

  std::filesystem::path folder_;
};

TEST_F(ValueStoreTest, WrittenValuesOutliveTheStateThatWroteThem) {
  {
    Session first(testing::EmptyScenario(), Files());
    ASSERT_EQ(Write(first, kProfileHashItem, Variant::UInt32(0xDEADBEEF)), S_OK);
    ASSERT_EQ(Write(first, kLastUploadTimeItem, Variant::Date(45000.25)), S_OK);
  }
  Session second(testing::EmptyScenario(), Files());
  HRESULT result = E_FAIL;
  const Variant hash = Read(second, kProfileHashItem, result);
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(hash.Type(), VT_UI4);
  EXPECT_EQ(hash.Raw32(), 0xDEADBEEFu);
  const Variant time = Read(second, kLastUploadTimeItem, result);
  EXPECT_EQ(time.Type(), VT_DATE);
  EXPECT_DOUBLE_EQ(time.RawDate(), 45000.25);

  std::ifstream log(folder_ / "sdk.jsonl");
  const std::string lines((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(
      lines.find(
          R"("op":"SetValue","progId":"Omx.Configuration","item":"0x4009501","value":{"type":"VT_UI4","value":3735928559})"),
      std::string::npos)
      << lines;
}

TEST_F(ValueStoreTest, PresetStandsUntilAStateFileExists) {
  SdkScenario scenario = ParseSdkScenario(nlohmann::ordered_json::parse(
      R"({"state": {"0x4009501": {"type": "VT_I4", "value": 7}, "0x4009502": {"type": "VT_DATE", "value": "now-8d"}}})"));
  {
    Session preset(scenario, Files());
    HRESULT result = E_FAIL;
    EXPECT_EQ(Read(preset, kProfileHashItem, result).Type(), VT_I4);
    const double age = OleDateNow() - Read(preset, kLastUploadTimeItem, result).RawDate();
    EXPECT_NEAR(age, 8.0, 0.001) << "relative dates are taken when they are read";
    ASSERT_EQ(Write(preset, kProfileHashItem, Variant::UInt32(9)), S_OK);
  }
  Session reloaded(scenario, Files());
  HRESULT result = E_FAIL;
  EXPECT_EQ(Read(reloaded, kProfileHashItem, result).Raw32(), 9u);
  EXPECT_EQ(Read(reloaded, kLastUploadTimeItem, result).Type(), VT_DATE)
      << "the file keeps unwritten items too";
}

TEST_F(ValueStoreTest, InjectedFaultsLeaveTheStoreUnchanged) {
  SdkScenario scenario = ParseSdkScenario(nlohmann::ordered_json::parse(
      R"({"state": {"0x4009501": {"type": "VT_UI4", "value": 1}},
          "stateFaults": {"0x4009501": {"set": "E_FAIL"}, "0x4009502": {"get": "0x80070005"}}})"));
  Session session(scenario, Files());
  EXPECT_EQ(Write(session, kProfileHashItem, Variant::UInt32(2)), E_FAIL);
  HRESULT result = S_OK;
  EXPECT_EQ(Read(session, kProfileHashItem, result).Raw32(), 1u);
  EXPECT_EQ(Read(session, kLastUploadTimeItem, result).Type(), VT_EMPTY);
  EXPECT_EQ(result, E_ACCESSDENIED);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "state.json"));
}

TEST_F(ValueStoreTest, MissingItemsAndObjectValuesAreRefused) {
  Session session(testing::EmptyScenario(), Files());
  HRESULT result = S_OK;
  EXPECT_EQ(Read(session, kProfileHashItem, result).Type(), VT_EMPTY);
  EXPECT_EQ(result, kItemNotFound) << "a first run finds no kept hash";
  auto map = session.Make<IDispatch>(omx::kVariantMapProgId);
  EXPECT_EQ(Write(session, kProfileHashItem, Variant::Dispatch(map.Get())), DISP_E_TYPEMISMATCH);
}

TEST_F(ValueStoreTest, MalformedStateFileIsNamedInTheError) {
  std::ofstream(folder_ / "state.json") << R"({"0x4009501": {"type": "VT_UI4", "value": "x"}})";
  try {
    SdkState state(testing::EmptyScenario(), Files());
    FAIL() << "accepted";
  } catch (const ScenarioError& error) {
    EXPECT_STREQ(error.what(),
                 R"(state.json["0x4009501"].value: expected a decimal or 0x-hexadecimal integer, found "x")");
  }
}

}  // namespace
}  // namespace qm::sim
