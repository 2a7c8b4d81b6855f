#include "collector/backup_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using trace::Source;
using trace::TraceRecorder;

const std::wstring kServiceHost = L"Software\\Orvex Security\\Orvex Service Host";

class BackupDirectory : public ::testing::Test {
 protected:
  RegistrySandbox registry_;
  TraceRecorder recorder_;
  std::wstring directory_ = L"untouched";
};

TEST_F(BackupDirectory, ReadsAValueOfThreeHundredCharactersWhole) {
  const std::wstring value = L"C:\\" + std::wstring(297, L'b');
  registry_.SetText(kServiceHost, L"quillmark_backup", value);
  EXPECT_TRUE(ReadBackupDirectory(directory_));
  EXPECT_EQ(directory_, value);
  EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(27, 32));
  EXPECT_EQ(recorder_.Find(Source::RunDriver, 32)->args[0].narrow, "True");
}

TEST_F(BackupDirectory, RefusesAValueOfSixHundredCharacters) {
  registry_.SetText(kServiceHost, L"quillmark_backup", std::wstring(600, L'x'));
  EXPECT_FALSE(ReadBackupDirectory(directory_));
  EXPECT_EQ(directory_, L"untouched");
  EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(27, 31));
  EXPECT_EQ(recorder_.Find(Source::RunDriver, 31)->args[0].narrow, "quillmark_backup");
}

TEST_F(BackupDirectory, AnEmptyValueConfiguresNothing) {
  registry_.SetText(kServiceHost, L"quillmark_backup", L"");
  EXPECT_FALSE(ReadBackupDirectory(directory_));
  EXPECT_EQ(directory_, L"");
  EXPECT_EQ(recorder_.Find(Source::RunDriver, 32)->args[0].narrow, "False");
}

TEST_F(BackupDirectory, AMissingKeyOrValueConfiguresNothing) {
  EXPECT_FALSE(ReadBackupDirectory(directory_));
  EXPECT_EQ(recorder_.Find(Source::RunDriver, 28)->args[0].narrow,
            "Software\\Orvex Security\\Orvex Service Host\\");
  registry_.SetText(kServiceHost, L"other", L"C:\\elsewhere");
  EXPECT_FALSE(ReadBackupDirectory(directory_));
  EXPECT_EQ(directory_, L"untouched");
  EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(27, 28, 27, 31));
}

}  // namespace
}  // namespace qm::testing
