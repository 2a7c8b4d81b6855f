// The marker files a test harness reads after a run. What each course of a
// run leaves in them (lines accumulated, the error marker holding only the
// latest, stale markers deleted) is the run table's; here only what a run
// cannot arrange: a reader holding a marker open.
#include "run/test_mode_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "common/scratch_folder.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

TEST(MarkerFiles, AnOkMarkerOfAnEarlierRunHeldOpenByAReaderIsAppendedTo) {
  testing::ScratchFolder folder;
  const CTestModeLog log(folder.Path().wstring() + L"\\");
  log.Write("one");
  const std::wstring path = (folder.Path() / kOkMarkerName).wstring();
  UniqueFile reader(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  log.Write("two");
  reader.Reset();
  EXPECT_EQ(folder.Content(kOkMarkerName), "\r\none\r\ntwo");
}

}  // namespace
}  // namespace qm
