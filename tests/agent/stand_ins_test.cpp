// The settings library stand-in, loaded as the program loads it: a DLL whose
// folder holds SimAgent\scenario.json. It must refuse an answer longer than
// the caller's buffer, or a program buffer of the wrong size would pass, and
// refuse any call but the program's one. The communications stand-in shows
// itself in every end-to-end delivery; here only what it holds calls to.

#include <gtest/gtest.h>

#include <string>

#include "collector/settings_hub.h"
#include "common/library_contract.h"
#include "common/scratch_folder.h"
#include "common/sim_files.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

constexpr wchar_t kMobile[] = L"REGISTER.AgentFeatures.Mobile";

TEST(SettingsStandIn, AnswersOnlyTheProgramsCallAndWithinItsBuffer) {
  testing::ScratchFolder folder;
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(JoinPath(QM_SIM_BIN_FOLDER, L"Util_SettingsHub.dll"), bytes));
  folder.Write(L"Util_SettingsHub.dll", bytes);
  const UniqueModule module(::LoadLibraryW(folder.File(L"Util_SettingsHub.dll").c_str()));
  ASSERT_TRUE(module);
  const auto get_util = GetProcAddressAs<SettingsGetUtilFunction>(module.Get(), "GetUtil");
  const struct {
    const char* course;
    std::string value;  // of the mobile setting
    const wchar_t* key;
    std::uint32_t size;
    std::int32_t flags;
    std::int32_t result;
    const wchar_t* read;
  } calls[] = {
      {"the program's call", "1", kMobile, 260, 0, 0, L"1"},
      {"a value too long for the buffer", std::string(260, '1'), kMobile, 260, 0, ERROR_MORE_DATA,
       L""},
      {"another key", "1", L"REGISTER.AgentFeatures.Other", 260, 0, ERROR_INVALID_PARAMETER, L""},
      {"a smaller buffer", "1", kMobile, 10, 0, ERROR_INVALID_PARAMETER, L""},
      {"flags", "1", kMobile, 260, 1, ERROR_INVALID_PARAMETER, L""},
  };
  for (const auto& call : calls) {
    SCOPED_TRACE(call.course);
    folder.Write(
        L"SimAgent\\scenario.json",
        R"({"settings": {"values": {"REGISTER.AgentFeatures.Mobile": ")" + call.value + R"("}}})");
    SettingsUtility* settings = get_util();
    ASSERT_NE(settings, nullptr);
    wchar_t buffer[260] = {};
    std::uint32_t size = call.size;
    EXPECT_EQ(settings->ReadSetting(call.key, buffer, &size, call.flags), call.result);
    EXPECT_STREQ(buffer, call.read);
  }
  const std::string log = testing::ReadFileText(folder.File(L"SimAgent\\settings.jsonl"));
  size_t violations = 0;
  for (size_t at = log.find("\"violation\""); at != std::string::npos;
       at = log.find("\"violation\"", at + 1))
    ++violations;
  EXPECT_EQ(violations, 3u) << log;
}

nlohmann::json With(nlohmann::json call, const nlohmann::json& patch) {
  call.merge_patch(patch);
  return call;
}

// A communications call of the program, as the stand-in logs it, with one thing
// out of place; the calls as the program makes them pass in every end-to-end run.
TEST(CommsContract, HoldsEachCallToTheProgramsArguments) {
  const nlohmann::json open = nlohmann::json::parse(R"({"call": "OpenChannel",
      "programId": "Quillmark_4_0_0_48", "hostName": "", "serviceName": "gccppostsegmentation",
      "suiteId": 21, "suiteVersion": "18.07.02.1234", "muid": "5A1F3C9E7B2D4068A", "mode": 1,
      "credentials": {"size": 36, "reserved": [0, 0, 0, 0], "tokenLength": 32,
        "token": "9f03c7e2a58d41b6e7102fa39c64d85b", "product": "TVN",
        "clientKey": "5e2b9c41-7d3a-4f86-b0e9-2c71a4d8f365"}})");
  const nlohmann::json settings = nlohmann::json::parse(R"({"call": "SetConnectionSettings",
      "settings": {"size": 16, "setting1": "proxy:8080", "setting2": null, "setting3": null}})");
  const nlohmann::json submit = nlohmann::json::parse(
      R"({"call": "Submit", "settings": {"size": 16, "setting1": "p", "setting2": "", "setting3": ""}, "options": 7})");
  const struct {
    const char* course;
    nlohmann::json call;
    const char* previous_step;
  } rows[] = {
      {"mode 0", With(open, {{"mode", 0}}), ""},
      {"another service", With(open, {{"serviceName", "gcc"}}), ""},
      {"a 35-byte record", With(open, {{"credentials", {{"size", 35}}}}), ""},
      {"the product in other letters", With(open, {{"credentials", {{"product", "tvn"}}}}), ""},
      {"the token one short", With(open, {{"credentials", {{"tokenLength", 31}}}}), ""},
      {"setting 2 empty, not absent", With(settings, {{"settings", {{"setting2", ""}}}}), ""},
      {"another queue", {{"call", "Send"}, {"queue", "profilerqueue"}, {"file", "C:\\f.dat"}}, ""},
      {"submit right after prepare", submit, "Prepare"},
      {"submit's tracker settings lacking setting 2",
       With(submit, {{"settings", {{"setting2", nullptr}}}}), "AddParameter"},
      {"a parameter before prepare",
       {{"call", "AddParameter"}, {"name", "omxError"}, {"value", "16"}},
       "Start"},
      {"an unknown parameter",
       {{"call", "AddParameter"}, {"name", "omxerror"}, {"value", "16"}},
       "Prepare"},
  };
  for (const auto& row : rows) {
    EXPECT_NE(CommsViolation(row.call, row.previous_step), "") << row.course;
  }
}

}  // namespace
}  // namespace qm::sim
