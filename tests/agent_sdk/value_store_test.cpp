#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sdk_test_support.h"

namespace qm::sim {
namespace {

using testing::ScenarioFrom;
using testing::Session;

class ValueStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  SdkFiles Files() const { return {(folder_ / "state.json").wstring(), (folder_ / "sdk.jsonl").wstring()}; }

  const std::filesystem::path folder_ =
      std::filesystem::temp_directory_path() / ("qm_sdk_store_" + std::to_string(::GetCurrentProcessId()));
};

TEST_F(ValueStoreTest, PresetStandsUntilAStateFileExists) {
  const SdkScenario scenario = ScenarioFrom(
      R"({"state": {"0x4009501": {"type": "VT_I4", "value": 7}, "0x4009502": {"type": "VT_DATE", "value": "now-8d"}}})");
  HRESULT result = E_FAIL;
  {
    Session preset(scenario, Files());
    EXPECT_EQ(preset.Read(kProfileHashItem, result).Type(), VT_I4);
    EXPECT_NEAR(OleDateNow() - preset.Read(kLastUploadTimeItem, result).RawDate(), 8.0, 0.001)
        << "relative dates are taken when they are read";
    ASSERT_EQ(preset.Write(kProfileHashItem, Variant::UInt32(9)), S_OK);
  }
  Session reloaded(scenario, Files());
  const Variant hash = reloaded.Read(kProfileHashItem, result);
  EXPECT_EQ(hash.Type(), VT_UI4);
  EXPECT_EQ(hash.Raw32(), 9u);
  EXPECT_EQ(reloaded.Read(kLastUploadTimeItem, result).Type(), VT_DATE) << "the file keeps unwritten items too";
}

TEST_F(ValueStoreTest, RefusedReadsAndWritesLeaveTheStoreUnchanged) {
  Session session(
      ScenarioFrom(R"({"stateFaults": {"0x4009501": {"set": "E_FAIL"}, "0x4009502": {"get": "0x80070005"}}})"),
      Files());
  const auto expect_read = [&](LONG item, HRESULT expected) {
    HRESULT result = S_OK;
    EXPECT_EQ(session.Read(item, result).Type(), VT_EMPTY);
    EXPECT_EQ(result, expected);
  };
  expect_read(kProfileHashItem, kItemNotFound);  // a first run finds no kept hash
  EXPECT_EQ(session.Write(kProfileHashItem, Variant::UInt32(2)), E_FAIL);
  expect_read(kProfileHashItem, kItemNotFound);
  EXPECT_EQ(session.Write(kLastUploadTimeItem, Variant::Dispatch(session.Make<IDispatch>(omx::kVariantMapProgId).Get())),
            DISP_E_TYPEMISMATCH);
  expect_read(kLastUploadTimeItem, E_ACCESSDENIED);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "state.json"));
}

TEST_F(ValueStoreTest, MalformedStateFileIsNamedInTheError) {
  std::ofstream(folder_ / "state.json") << R"({"0x4009501": {"type": "VT_UI4", "value": "x"}})";
  try {
    SdkState state(ScenarioFrom("{}"), Files());
    FAIL() << "accepted";
  } catch (const ScenarioError& error) {
    EXPECT_STREQ(error.what(),
                 R"(state.json["0x4009501"].value: expected a decimal or 0x-hexadecimal integer, found "x")");
  }
}

}  // namespace
}  // namespace qm::sim
