#include "support/text.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(AnsiConversion, RoundTripsCodePageTextAndReplacesWhatItCannotMap) {
  struct Case {
    const wchar_t* wide;
    const char* narrow;  // code page 1252 under the test bench
    bool round_trips;
  };
  const Case cases[] = {
      {L"Caf\u00e9 \u00d1and\u00fa 123",
       "Caf\xe9 \xd1"
       "and\xfa 123",
       true},
      {L"a\u4e2db", "a?b", false},
      {L"", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.narrow);
    EXPECT_EQ(ToAnsi(c.wide), c.narrow);
    if (c.round_trips) {
      EXPECT_EQ(FromAnsi(c.narrow), c.wide);
    }
  }
}

}  // namespace
}  // namespace qm
