// The marker files a test harness reads after a run.
#include "run/test_mode_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/unique_resource.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

class MarkerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = fs::temp_directory_path() / (std::string("qm_markers_") + info->name() + "_" +
                                           std::to_string(::GetCurrentProcessId()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  CTestModeLog MakeLog() const { return CTestModeLog(folder_.wstring() + L"\\"); }
  bool Exists(const wchar_t* name) const { return fs::exists(folder_ / name); }
  std::string Content(const wchar_t* name) const {
    std::ifstream file(folder_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  fs::path folder_;
};

TEST_F(MarkerFiles, SucceedingRunAccumulatesEveryMessageInTheOkMarkerWithALineBreakBeforeEach) {
  CTestModeLog log = MakeLog();
  log.Write("Obtenida la instancia del OMX.");
  log.Write("Quillmark se ha ejecutado correctamente.");
  EXPECT_EQ(Content(kOkMarkerName),
            "\r\nObtenida la instancia del OMX.\r\nQuillmark se ha ejecutado correctamente.");
  EXPECT_FALSE(Exists(kErrorMarkerName));
}

TEST_F(MarkerFiles, FirstFailureReplacesTheOkMarkerWithAnErrorMarkerHoldingOnlyItsMessage) {
  CTestModeLog log = MakeLog();
  log.Write("Obtenida la instancia del OMX.");
  log.SetSuccess(false);
  log.Write("Error inicializando el ProfileDataCollector.");
  EXPECT_FALSE(Exists(kOkMarkerName));
  EXPECT_EQ(Content(kErrorMarkerName), "\r\nError inicializando el ProfileDataCollector.");
}

TEST_F(MarkerFiles, EveryMessageAfterAFailureKeepsOnlyTheLatestInTheErrorMarker) {
  CTestModeLog log = MakeLog();
  log.SetSuccess(false);
  log.Write("Error subiendo el JSON del perfilado.");
  log.Write("Quillmark se ha ejecutado correctamente.");
  EXPECT_EQ(Content(kErrorMarkerName), "\r\nQuillmark se ha ejecutado correctamente.");
  EXPECT_FALSE(Exists(kOkMarkerName));
}

TEST_F(MarkerFiles, WritingAppendsToAnOkMarkerLeftByAnEarlierRun) {
  CTestModeLog(MakeLog()).Write("first run");
  CTestModeLog log = MakeLog();
  log.Write("second run");
  EXPECT_EQ(Content(kOkMarkerName), "\r\nfirst run\r\nsecond run");
}

TEST_F(MarkerFiles, DeleteMarkersRemovesBothAndIgnoresMissingOnes) {
  const CTestModeLog log = MakeLog();
  log.DeleteMarkers();  // nothing there yet
  std::ofstream(folder_ / kOkMarkerName) << "old";
  std::ofstream(folder_ / kErrorMarkerName) << "old";
  log.DeleteMarkers();
  EXPECT_FALSE(Exists(kOkMarkerName));
  EXPECT_FALSE(Exists(kErrorMarkerName));
}

TEST_F(MarkerFiles, AMarkerHeldOpenByAReaderIsStillAppendedTo) {
  CTestModeLog log = MakeLog();
  log.Write("one");
  const std::wstring path = (folder_ / kOkMarkerName).wstring();
  UniqueFile reader(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  log.Write("two");
  reader.Reset();
  EXPECT_EQ(Content(kOkMarkerName), "\r\none\r\ntwo");
}

TEST_F(MarkerFiles, AMarkerThatCannotBeOpenedIsSkippedSilently) {
  CTestModeLog log(folder_.wstring() + L"\\missing folder\\");
  log.Write("lost");
  EXPECT_FALSE(fs::exists(folder_ / L"missing folder"));
}

TEST(TestModeLog, StartsOutsideTestModeAndSucceeding) {
  CTestModeLog log;
  EXPECT_FALSE(log.IsTestMode());
  EXPECT_TRUE(log.IsSuccess());
}

}  // namespace
}  // namespace qm
