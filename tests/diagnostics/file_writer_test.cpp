#include "diagnostics/file_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <regex>
#include <string>
#include <tuple>

#include "common/scratch_folder.h"
#include "diagnostics/trace_recorder.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using trace::Source;

class FileWriter : public ::testing::Test {
 protected:
  const testing::ScratchFolder scratch_;
  trace::TraceRecorder recorder_{5, trace::flags::DataFile};
};

// That it lies in TEMP, whichever folder that is, the end-to-end runs show.
TEST_F(FileWriter, DataFileIsNamedMuidThenUtcTimestamp) {
  const CFileWriter writer(BuildDataFilePath(L"0A1B2C"), true, true);
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(39, 10));
  EXPECT_TRUE(std::regex_match(FileNameOf(writer.GetFilePath()),
                               std::wregex(LR"(0A1B2C_\d{8}_\d{9}\.dat)")));

  // A bare file name made unique stays bare.
  EXPECT_TRUE(std::regex_match(MakeUniquePath(L"profile.dat"),
                               std::wregex(LR"(profile_\d{8}_\d{9}\.dat)")));
  EXPECT_EQ(CFileWriter(L"", false, false).GetFilePath(), L".\\quillmark.dat");
}

TEST_F(FileWriter, OverlongPathPartIsRefusedWithoutOverrun) {
  const std::wstring long_name(256, L'n');  // one more than a part holds with its terminator
  EXPECT_EQ(MakeUniquePath(L"C:\\dir\\" + long_name + L".dat"), L"");
  EXPECT_EQ(FileNameOf(L"C:\\" + long_name), L"");
  CFileWriter writer(L"C:\\dir\\" + long_name + L".dat", true, true);
  writer.Write(L"text");
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(40, 38, 40, 10, 14, 20, 15));
}

TEST_F(FileWriter, EmptyTextLeavesAnEmptyFileAndTraces30) {
  const std::wstring path = scratch_.File(L"empty.dat");
  {
    CFileWriter writer(path, true, false);
    writer.Write(L"");
    EXPECT_TRUE(writer.IsOpen());
  }
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(10, 14, 21, 30, 11, 13, 12));
}

TEST_F(FileWriter, WritesAppendInTheCodePageToAnExistingFileAlsoAfterClosing) {
  const std::wstring path = scratch_.Write(L"append.dat", "old;");
  CFileWriter writer(path, true, false);
  writer.Write(L"ab");
  writer.Write(L"cd");
  EXPECT_TRUE(writer.Close());
  EXPECT_FALSE(writer.IsOpen());
  writer.Write(L"\u00e9\u4e2d{}");
  // Others may read, write and delete while the file is open.
  EXPECT_TRUE(UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
                  .IsValid());
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(testing::ReadFileText(path), "old;abcd\xE9?{}");  // code page 1252 under the test bench
}

TEST_F(FileWriter, CopyGoesIntoAnExistingDirectoryAndNeverOverwrites) {
  fs::create_directories(scratch_.Path() / L"slash");
  scratch_.Write(L"backup\\source.dat", "older");
  CFileWriter writer(scratch_.File(L"source.dat"), true, false);
  writer.Write(L"{\"a\":1}");
  // The delivery test shows a copy into a plain existing folder.
  const std::tuple<std::wstring, bool, int> cases[] = {{scratch_.File(L"slash") + L"\\", true, 42},
                                                       {scratch_.File(L"backup"), false, 43},
                                                       {L"", false, 41}};
  for (const auto& [directory, copied, trace] : cases) {
    SCOPED_TRACE(fs::path(directory).string());
    recorder_.Clear();
    EXPECT_EQ(writer.CopyTo(directory), copied);
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_THAT(recorder_.Numbers(Source::DataFile), Contains(trace));
  }
  EXPECT_EQ(scratch_.Content(L"slash\\source.dat"), "{\"a\":1}");
  EXPECT_EQ(scratch_.Content(L"backup\\source.dat"), "older");
}

TEST_F(FileWriter, UncreatableFileIsTracedAndNothingIsWritten) {
  const std::wstring path = scratch_.File(L"missing\\file.dat");
  CFileWriter writer(path, false, false);
  writer.Write(L"data");
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(recorder_.Find(Source::DataFile, 22)->args.at(1).value, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(recorder_.Find(Source::DataFile, 15)->args.at(0).wide, path);
}

}  // namespace
}  // namespace qm
