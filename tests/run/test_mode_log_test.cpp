// The marker files a test harness reads after a run. What each course of a
// run leaves in them (lines accumulated, the error marker holding only the
// latest, stale markers deleted) is the run table's; here only what a run
// cannot arrange: a reader holding a marker open, a folder that is missing.
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

TEST_F(MarkerFiles, AMarkerThatCannotBeOpenedIsSkippedSilently) {
  CTestModeLog(folder_.Path().wstring() + L"\\missing folder\\").Write("lost");
  EXPECT_FALSE(folder_.Exists(L"missing folder"));
}

}  // namespace
}  // namespace qm
