#include "diagnostics/trace_file.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::trace {
namespace {

TEST(FileTraceSettings, TakesLevelFlagsAndPathAndRefusesAnythingElse) {
  const auto settings = ParseFileTraceSettings(L"5,0x1F,C:\\trace\\run,1.jsonl");
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(settings->level, 5);
  EXPECT_EQ(settings->flags, 0x1Fu);
  EXPECT_EQ(settings->path, L"C:\\trace\\run,1.jsonl");
  EXPECT_EQ(ParseFileTraceSettings(L"4,16,x").value().flags, 16u);
  EXPECT_TRUE(ParseFileTraceSettings(L"255,0xFFFFFFFF,x").has_value());

  for (const wchar_t* value : {L"", L"4,0x10", L"4,0x10,", L",0x10,x", L"4,0xZZ,f", L"256,1,f",
                               L"4,0x100000000,f", L"-1,1,f"}) {
    EXPECT_FALSE(ParseFileTraceSettings(value).has_value()) << value;
  }
}

TEST(FileTraceController, JsonLineCarriesArgumentsAsEncoded) {
  const Arg args[] = {Int(-5), Narrow(static_cast<const char*>(nullptr)), Wide(L""),
                      Wide(static_cast<const wchar_t*>(nullptr)),
                      AnsiOf(L"a\"\\\n\u00e9\r\t\x01\x1f ")};
  const Message message{Source::DataFile, 22, Level::Error, flags::DataFile, args};
  const SYSTEMTIME time{2024, 3, 6, 9, 7, 5, 4, 21};
  EXPECT_EQ(JsonLineOf(message, time),
            "{\"time\":\"2024-03-09T07:05:04.021Z\","
            "\"guid\":\"{06bd9993-2052-4464-e7c9-af1eac4f11b3}\",\"source\":\"DataFile\","
            "\"number\":22,\"level\":2,\"flag\":4,\"args\":["
            "{\"kind\":\"Int\",\"value\":-5,\"bytes\":4},"
            "{\"kind\":\"Narrow\",\"value\":\"NULL\",\"bytes\":5},"
            "{\"kind\":\"Wide\",\"value\":\"<NULL>\",\"bytes\":14},"
            "{\"kind\":\"Wide\",\"value\":\"NULL\",\"bytes\":10},"
            "{\"kind\":\"Narrow\",\"value\":\"a\\\"\\\\\\n\xC3\xA9\\r\\t\\u0001\\u001f \","
            "\"bytes\":11}]}\n");
}

}  // namespace
}  // namespace qm::trace
