// The marker files a test harness reads after a run.
#include "run/test_mode_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "common/scratch_folder.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

class MarkerFiles : public ::testing::Test {
 protected:
  CTestModeLog MakeLog() const { return CTestModeLog(folder_.Path().wstring() + L"\\"); }
  testing::ScratchFolder folder_;
};

TEST_F(MarkerFiles, OkMarkerAccumulatesUntilAFailureAfterWhichTheErrorMarkerHoldsOnlyTheLatest) {
  CTestModeLog log = MakeLog();
  log.Write("Obtenida la instancia del OMX.");
  log.Write("Quillmark se ha ejecutado correctamente.");
  EXPECT_EQ(folder_.Content(kOkMarkerName),
            "\r\nObtenida la instancia del OMX.\r\nQuillmark se ha ejecutado correctamente.");
  EXPECT_FALSE(folder_.Exists(kErrorMarkerName));

  log.SetSuccess(false);
  log.Write("Error inicializando el ProfileDataCollector.");
  EXPECT_FALSE(folder_.Exists(kOkMarkerName));
  EXPECT_EQ(folder_.Content(kErrorMarkerName), "\r\nError inicializando el ProfileDataCollector.");
  log.Write("Quillmark se ha ejecutado correctamente.");
  EXPECT_EQ(folder_.Content(kErrorMarkerName), "\r\nQuillmark se ha ejecutado correctamente.");
  EXPECT_FALSE(folder_.Exists(kOkMarkerName));
}

TEST_F(MarkerFiles, AnOkMarkerOfAnEarlierRunHeldOpenByAReaderIsAppendedTo) {
  MakeLog().Write("one");
  const std::wstring path = (folder_.Path() / kOkMarkerName).wstring();
  UniqueFile reader(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  MakeLog().Write("two");
  reader.Reset();
  EXPECT_EQ(folder_.Content(kOkMarkerName), "\r\none\r\ntwo");
}

TEST_F(MarkerFiles, DeleteMarkersRemovesBothAndIgnoresMissingOnes) {
  const CTestModeLog log = MakeLog();
  log.DeleteMarkers();  // nothing there yet
  folder_.Write(kOkMarkerName, "old");
  folder_.Write(kErrorMarkerName, "old");
  log.DeleteMarkers();
  EXPECT_FALSE(folder_.Exists(kOkMarkerName));
  EXPECT_FALSE(folder_.Exists(kErrorMarkerName));
}

TEST_F(MarkerFiles, AMarkerThatCannotBeOpenedIsSkippedSilently) {
  CTestModeLog(folder_.Path().wstring() + L"\\missing folder\\").Write("lost");
  EXPECT_FALSE(folder_.Exists(L"missing folder"));
}

}  // namespace
}  // namespace qm
