#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "diagnostics/file_writer.h"
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

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A fresh directory under the temp directory, removed with its files.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    static int counter = 0;
    path_ = fs::path(GetTempDirectory()) /
            (L"qm_file_writer_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
             std::to_wstring(++counter));
    fs::create_directories(path_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  std::wstring File(const wchar_t* name) const { return (path_ / name).wstring(); }

 private:
  fs::path path_;
};

class FileWriter : public ::testing::Test {
 protected:
  ScratchDirectory scratch_;
  trace::TraceRecorder recorder_{5, trace::flags::DataFile};
};

TEST_F(FileWriter, DataFileNameIsMuidUnderscoreAndUtcTimestamp) {
  const std::wstring temp = GetTempDirectory();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), L'\\');

  CFileWriter writer(BuildDataFilePath(L"0A1B2C"), true, true);
  const std::wstring path = writer.GetFilePath();
  EXPECT_EQ(path.substr(0, temp.size()), temp);
  EXPECT_TRUE(std::regex_match(path.substr(temp.size()), std::wregex(LR"(0A1B2C_\d{8}_\d{9}\.dat)")))
      << fs::path(path).string();
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(39, 10));
}

TEST_F(FileWriter, BareFileNameMadeUniqueStaysBare) {
  EXPECT_TRUE(std::regex_match(MakeUniquePath(L"profile.dat"),
                               std::wregex(LR"(profile_\d{8}_\d{9}\.dat)")));
  EXPECT_TRUE(std::regex_match(UtcTimestamp(), std::wregex(LR"(\d{8}_\d{9})")));
  EXPECT_EQ(FileNameOf(L"C:\\some dir\\name.ext"), L"name.ext");
}

TEST_F(FileWriter, EmptyPathMeansQuillmarkDatInTheCurrentDirectory) {
  const CFileWriter writer(L"", false, false);
  EXPECT_EQ(writer.GetFilePath(), L".\\quillmark.dat");
}

TEST_F(FileWriter, OverlongPathPartIsRefusedWithoutOverrun) {
  const std::wstring long_name(300, L'n');
  EXPECT_EQ(MakeUniquePath(L"C:\\dir\\" + long_name + L".dat"), L"");
  EXPECT_EQ(FileNameOf(L"C:\\" + long_name), L"");
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(40, 38));

  CFileWriter writer(L"C:\\dir\\" + long_name + L".dat", true, true);
  writer.Write(L"text");
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), Contains(20));
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), Contains(15));
}

TEST_F(FileWriter, EmptyTextLeavesAnEmptyFileAndTraces30) {
  const std::wstring path = scratch_.File(L"empty.dat");
  {
    CFileWriter writer(path, true, false);
    writer.Write(L"");
    EXPECT_TRUE(writer.IsOpen());
  }
  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(10, 14, 21, 30, 11, 13, 12));
}

TEST_F(FileWriter, WritesAppendAlsoAfterClosingAndToAnExistingFile) {
  const std::wstring path = scratch_.File(L"append.dat");
  WriteAll(path, "old;");
  CFileWriter writer(path, true, false);
  writer.Write(L"ab");
  writer.Write(L"cd");
  EXPECT_TRUE(writer.Close());
  EXPECT_FALSE(writer.IsOpen());
  writer.Write(L"ef");
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadAll(path), "old;abcdef");
}

TEST_F(FileWriter, OthersMayReadWriteAndDeleteWhileTheFileIsOpen) {
  const std::wstring path = scratch_.File(L"shared.dat");
  CFileWriter writer(path, false, false);
  writer.Write(L"x");
  const UniqueFile other(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(other.IsValid()) << ::GetLastError();
}

TEST_F(FileWriter, TextOutsideTheCodePageIsWrittenWithReplacementCharacters) {
  const std::wstring path = scratch_.File(L"ansi.dat");
  CFileWriter writer(path, true, false);
  writer.Write(L"a\u00e9\u4e2d{}");
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadAll(path), "a\xE9?{}");  // code page 1252 under the test bench
}

TEST_F(FileWriter, DeleteClosesAndRemovesAnOpenFile) {
  const std::wstring path = scratch_.File(L"delete.dat");
  CFileWriter writer(path, true, false);
  writer.Write(L"data");
  recorder_.Clear();
  writer.Delete();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(27, 24));
  const auto* deleted = recorder_.Find(Source::DataFile, 24);
  EXPECT_EQ(deleted->args[0].narrow, fs::path(path).string());

  writer.Delete();  // already gone
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), ElementsAre(27, 24, 25));
}

TEST_F(FileWriter, CopyToDirectoryWithOrWithoutTrailingSeparator) {
  const std::wstring path = scratch_.File(L"source.dat");
  fs::create_directories(scratch_.path() / L"plain");
  fs::create_directories(scratch_.path() / L"slash");
  CFileWriter writer(path, true, false);
  writer.Write(L"{\"a\":1}");

  EXPECT_TRUE(writer.CopyTo((scratch_.path() / L"plain").wstring()));
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_TRUE(writer.CopyTo((scratch_.path() / L"slash").wstring() + L"\\"));
  EXPECT_EQ(ReadAll(scratch_.path() / L"plain" / L"source.dat"), "{\"a\":1}");
  EXPECT_EQ(ReadAll(scratch_.path() / L"slash" / L"source.dat"), "{\"a\":1}");
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), Contains(42));
}

TEST_F(FileWriter, CopyRefusesToOverwriteAndToMissingDirectories) {
  const std::wstring path = scratch_.File(L"source.dat");
  fs::create_directories(scratch_.path() / L"backup");
  WriteAll(scratch_.path() / L"backup" / L"source.dat", "older");
  CFileWriter writer(path, true, false);
  writer.Write(L"newer");

  EXPECT_FALSE(writer.CopyTo((scratch_.path() / L"backup").wstring()));
  EXPECT_EQ(ReadAll(scratch_.path() / L"backup" / L"source.dat"), "older");
  EXPECT_FALSE(writer.CopyTo((scratch_.path() / L"missing").wstring()));
  EXPECT_FALSE(writer.CopyTo(L""));
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), Contains(43));
  EXPECT_THAT(recorder_.Numbers(Source::DataFile), Contains(41));
}

TEST_F(FileWriter, UncreatableFileIsTracedAndNothingIsWritten) {
  const std::wstring path = scratch_.File(L"missing\\file.dat");
  CFileWriter writer(path, false, false);
  writer.Write(L"data");
  EXPECT_FALSE(writer.IsOpen());
  const auto* failed = recorder_.Find(Source::DataFile, 22);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->args[1].value, ERROR_PATH_NOT_FOUND);
  const auto* not_written = recorder_.Find(Source::DataFile, 15);
  ASSERT_NE(not_written, nullptr);
  EXPECT_EQ(not_written->args[0].wide, path);
}

}  // namespace
}  // namespace qm
