// The settings library stand-in, loaded as the program loads it: a DLL whose
// folder holds SimAgent\scenario.json. It must refuse an answer longer than
// the caller's buffer, or a program buffer of the wrong size would pass. The
// communications stand-in shows itself in every end-to-end delivery.

#include <gtest/gtest.h>

#include <string>

#include "collector/settings_hub.h"
#include "common/scratch_folder.h"
#include "common/sim_files.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

TEST(SettingsStandIn, AnswersWithinTheCallersBuffer) {
  testing::ScratchFolder folder;
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(JoinPath(QM_SIM_BIN_FOLDER, L"Util_SettingsHub.dll"), bytes));
  folder.Write(L"Util_SettingsHub.dll", bytes);
  folder.Write(
      L"SimAgent\\scenario.json",
      R"({"settings": {"values": {"REGISTER.AgentFeatures.Mobile": "1", "Long": "0123456789"}}})");
  const UniqueModule module(::LoadLibraryW(folder.File(L"Util_SettingsHub.dll").c_str()));
  ASSERT_TRUE(module);
  SettingsUtility* settings = GetProcAddressAs<SettingsGetUtilFunction>(module.Get(), "GetUtil")();
  ASSERT_NE(settings, nullptr);

  wchar_t buffer[260] = {};
  std::uint32_t size = 260;
  EXPECT_EQ(settings->ReadSetting(L"REGISTER.AgentFeatures.Mobile", buffer, &size, 0), 0);
  EXPECT_STREQ(buffer, L"1");
  EXPECT_EQ(size, 1u);
  wchar_t small[10] = {L'x'};
  size = 10;
  EXPECT_EQ(settings->ReadSetting(L"Long", small, &size, 0), ERROR_MORE_DATA);
  EXPECT_EQ(small[0], L'x');
}

}  // namespace
}  // namespace qm::sim
