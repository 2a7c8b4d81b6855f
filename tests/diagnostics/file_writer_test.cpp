#include "diagnostics/file_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "diagnostics/trace_recorder.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using trace::Source;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Matches(const std::wstring& text, const wchar_t* pattern) {
  return std::regex_match(text, std::wregex(pattern));
}

// Each test gets a fresh directory under the temp directory, removed with its files.
class FileWriter : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(scratch_); }
  void TearDown() override { fs::remove_all(scratch_); }
  std::wstring File(const wchar_t* name) const { return (scratch_ / name).wstring(); }

  const fs::path scratch_ = fs::path(GetTempDirectory()) /
                            (L"qm_file_writer_" + std::to_wstring(::GetCurrentProcessId()));
  trace::TraceRecorder recorder_{5, trace::flags::DataFile};
};

TEST_F(FileWriter, DataFileIsNamedMuidThenUtcTimestampInTheTempDirectory) {
  const std::wstring temp = GetTempDirectory();
  ASSERT_EQ(temp.back(), L'\\');
  const CFileWriter writer(BuildDataFilePath(L"0A1B2C"), true, true);
  const std::wstring path = writer.GetFilePath();
  EXPECT_EQ(path.substr(0, temp.size()), temp);
  EXPECT_TRUE(Matches(path.substr(temp.size()), LR"(0A1B2C_\d{8}_\d{9}\.dat)"));
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(39, 10));

  // A bare file name made unique stays bare.
  EXPECT_TRUE(Matches(MakeUniquePath(L"profile.dat"), LR"(profile_\d{8}_\d{9}\.dat)"));
  EXPECT_EQ(CFileWriter(L"", false, false).GetFilePath(), L".\\quillmark.dat");
}

TEST_F(FileWriter, OverlongPathPartIsRefusedWithoutOverrun) {
  const std::wstring long_name(300, L'n');
  EXPECT_EQ(MakeUniquePath(L"C:\\dir\\" + long_name + L".dat"), L"");
  EXPECT_EQ(FileNameOf(L"C:\\" + long_name), L"");
  CFileWriter writer(L"C:\\dir\\" + long_name + L".dat", true, true);
  writer.Write(L"text");
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(40, 38, 40, 10, 14, 20, 15));
}

TEST_F(FileWriter, EmptyTextLeavesAnEmptyFileAndTraces30) {
  const std::wstring path = File(L"empty.dat");
  {
    CFileWriter writer(path, true, false);
    writer.Write(L"");
    EXPECT_TRUE(writer.IsOpen());
  }
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(10, 14, 21, 30, 11, 13, 12));
}

TEST_F(FileWriter, WritesAppendInTheCodePageToAnExistingFileAlsoAfterClosing) {
  const std::wstring path = File(L"append.dat");
  std::ofstream(fs::path(path), std::ios::binary) << "old;";
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
  EXPECT_EQ(ReadAll(path), "old;abcd\xE9?{}");  // code page 1252 under the test bench
}

TEST_F(FileWriter, CopyGoesIntoAnExistingDirectoryAndNeverOverwrites) {
  for (const wchar_t* directory : {L"slash", L"backup"})
    fs::create_directories(scratch_ / directory);
  std::ofstream(scratch_ / L"backup" / L"source.dat", std::ios::binary) << "older";
  CFileWriter writer(File(L"source.dat"), true, false);
  writer.Write(L"{\"a\":1}");
  struct Case {
    std::wstring directory;
    bool copied;
    int trace;
  };
  // The delivery test shows a copy into a plain existing folder.
  const Case cases[] = {
      {File(L"slash") + L"\\", true, 42}, {File(L"backup"), false, 43}, {L"", false, 41}};
  for (const Case& c : cases) {
    SCOPED_TRACE(fs::path(c.directory).string());
    recorder_.Clear();
    EXPECT_EQ(writer.CopyTo(c.directory), c.copied);
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_THAT(recorder_.Numbers(Source::DataFile), Contains(c.trace));
  }
  EXPECT_EQ(ReadAll(scratch_ / L"slash" / L"source.dat"), "{\"a\":1}");
  EXPECT_EQ(ReadAll(scratch_ / L"backup" / L"source.dat"), "older");
}

TEST_F(FileWriter, UncreatableFileIsTracedAndNothingIsWritten) {
  const std::wstring path = File(L"missing\\file.dat");
  CFileWriter writer(path, false, false);
  writer.Write(L"data");
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(recorder_.Find(Source::DataFile, 22)->args.at(1).value, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(recorder_.Find(Source::DataFile, 15)->args.at(0).wide, path);
}

}  // namespace
}  // namespace qm
