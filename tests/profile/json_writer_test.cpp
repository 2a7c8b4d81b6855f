#include "profile/json_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "diagnostics/trace_recorder.h"

namespace qm {
namespace {

class FixedRecord final : public ISerializable {
 public:
  explicit FixedRecord(std::wstring text) : text_(std::move(text)) {}
  std::wstring Serialize() const override { return text_; }

 private:
  std::wstring text_;
};

class ThrowingRecord final : public ISerializable {
 public:
  std::wstring Serialize() const override { throw std::bad_alloc(); }
};

TEST(JsonMembers, EachWriterProducesItsExactForm) {
  EXPECT_EQ(JsonStringPair(L"SuiteVersion", std::wstring()), L"\"SuiteVersion\":\"\"");
  EXPECT_EQ(JsonStringPair(L"SuiteVersion", L"19.1"), L"\"SuiteVersion\":\"19.1\"");
  EXPECT_EQ(JsonStringPair(L"SuiteVersion", static_cast<const wchar_t*>(nullptr)),
            L"\"SuiteVersion\":\"\"");
  EXPECT_EQ(JsonNumberPair(L"SuiteID", 0), L"\"SuiteID\":\"0\"");
  EXPECT_EQ(JsonNumberPair(L"SuiteID", 4294967295u), L"\"SuiteID\":\"4294967295\"");
  EXPECT_EQ(JsonNumberPair(L"SuiteID", static_cast<std::uint32_t>(-2)),
            L"\"SuiteID\":\"4294967294\"");
  EXPECT_EQ(JsonBoolPair(L"OSx64", true), L"\"OSx64\":\"True\"");
  EXPECT_EQ(JsonBoolPair(L"OSx64", false), L"\"OSx64\":\"False\"");
  EXPECT_EQ(JsonObjectPair(L"OSInfo", nullptr), L"\"OSInfo\":{}");
  EXPECT_EQ(JsonArrayPair(L"Products", {}), L"\"Products\":[]");
  EXPECT_EQ(JsonStringPair(L"", L""), L"\"\":\"\"");
}

TEST(JsonMembers, NullArrayEntriesAreSkippedWithoutStrayCommas) {
  const FixedRecord a(L"{A}");
  const FixedRecord b(L"{B}");
  trace::TraceRecorder recorder;
  EXPECT_EQ(JsonArrayPair(L"L", {&a, nullptr, &b}), L"\"L\":[{A},{B}]");
  ASSERT_THAT(recorder.Numbers(trace::Source::JsonWriter), ::testing::ElementsAre(16));
  EXPECT_EQ(recorder.Messages()[0].level, trace::Level::Error);
  EXPECT_EQ(recorder.Messages()[0].args.at(0).value, 1);
  EXPECT_EQ(JsonArrayPair(L"L", {&a, nullptr}), L"\"L\":[{A}]");
  EXPECT_EQ(JsonArrayPair(L"L", {nullptr, &a}), L"\"L\":[{A}]");
  EXPECT_EQ(JsonArrayPair(L"L", {nullptr, nullptr}), L"\"L\":[]");
}

TEST(JsonMembers, FailingNestedRecordGivesFallbackMemberAndDocumentGoesOn) {
  const ThrowingRecord broken;
  const FixedRecord fine(L"{F}");
  trace::TraceRecorder recorder;
  EXPECT_EQ(JsonObjectPair(L"OSInfo", &broken), L"\"OSInfo\":null");
  EXPECT_EQ(JsonArrayPair(L"Products", {&fine, &broken}), L"\"Products\":[]");
  // Each failure names its writer: object, then array.
  EXPECT_THAT(recorder.Numbers(trace::Source::JsonWriter), ::testing::ElementsAre(14, 15));

  const std::wstring document = JsonObject()
                                    .Add(JsonStringPair(L"MUID", L"M1"))
                                    .Add(JsonObjectPair(L"OSInfo", &broken))
                                    .Add(JsonNumberPair(L"SuiteID", 7))
                                    .Close();
  EXPECT_EQ(document, L"{\"MUID\":\"M1\",\"OSInfo\":null,\"SuiteID\":\"7\"}");
}

TEST(JsonEscaping, QuoteBackslashAndControlCharactersAreEscaped) {
  EXPECT_EQ(JsonStringPair(L"k", L"say \"hi\""), L"\"k\":\"say \\\"hi\\\"\"");
  EXPECT_EQ(JsonStringPair(L"k", L"C:\\Orvex\\"), L"\"k\":\"C:\\\\Orvex\\\\\"");
  EXPECT_EQ(JsonStringPair(L"k", L"\b\f\n\r\t"), L"\"k\":\"\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(JsonStringPair(L"k", std::wstring(L"\x01\x1f|\0|", 5)),
            L"\"k\":\"\\u0001\\u001f|\\u0000|\"");
  EXPECT_EQ(JsonStringPair(L"a\"b", L"v"), L"\"a\\\"b\":\"v\"");
}

TEST(JsonEscaping, EveryOtherCharacterIsCopiedAsItIs) {
  const std::wstring untouched = L"/ \x7f \xe9 \x65e5\x672c \xd83d\xde00 ' < > &";
  EXPECT_EQ(JsonStringPair(L"k", untouched), L"\"k\":\"" + untouched + L"\"");
}

TEST(JsonObjectBuilder, CommasOnlyBetweenMembersActuallyAdded) {
  EXPECT_EQ(JsonObject().Close(), L"{}");
  EXPECT_EQ(JsonObject().Add(L"\"a\":\"1\"").Close(), L"{\"a\":\"1\"}");
  EXPECT_EQ(JsonObject().Add(L"\"a\":\"1\"").Add(std::wstring()).Add(L"\"b\":\"2\"").Close(),
            L"{\"a\":\"1\",\"b\":\"2\"}");
}

}  // namespace
}  // namespace qm
