#include "profile/json_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "diagnostics/trace_recorder.h"

namespace qm {
namespace {

// A record serialised as the given text; without one its Serialize throws.
struct Record final : ISerializable {
  explicit Record(const wchar_t* given = nullptr) : text(given) {}
  std::wstring Serialize() const override {
    return text != nullptr ? text : throw std::bad_alloc();
  }
  const wchar_t* text;
};

TEST(JsonWriters, EachMemberFormIsExactEscapedAndNeverLetsAFailureOut) {
  const Record a(L"{A}"), b(L"{B}"), broken;
  trace::TraceRecorder recorder;
  const std::wstring untouched = L"/ \x7f \xe9 \x65e5\x672c \xd83d\xde00 ' < > &";
  const struct {
    std::wstring written;
    std::wstring expected;
  } rows[] = {
      {JsonStringPair(L"k", static_cast<const wchar_t*>(nullptr)), L"\"k\":\"\""},
      {JsonBoolPair(L"OSx64", false), L"\"OSx64\":\"False\""},
      {JsonObjectPair(L"OSInfo", &broken), L"\"OSInfo\":null"},
      {JsonArrayPair(L"L", {nullptr, &a, nullptr, &b}), L"\"L\":[{A},{B}]"},
      {JsonArrayPair(L"L", {&a, &broken}), L"\"L\":[]"},
      {JsonStringPair(L"k", L"\"hi\" C:\\x\\"), L"\"k\":\"\\\"hi\\\" C:\\\\x\\\\\""},
      {JsonStringPair(L"k", std::wstring(L"\b\f\n\r\t\x01\x1f|\0|", 10)),
       L"\"k\":\"\\b\\f\\n\\r\\t\\u0001\\u001f|\\u0000|\""},
      {JsonStringPair(L"a\"b", L"v"), L"\"a\\\"b\":\"v\""},
      {JsonStringPair(L"k", untouched), L"\"k\":\"" + untouched + L"\""},
      {JsonObject().Add(L"\"a\":\"1\"").Add(std::wstring()).Add(L"\"b\":\"2\"").Close(),
       L"{\"a\":\"1\",\"b\":\"2\"}"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    EXPECT_EQ(row.written, row.expected);
  }
  // Each failure is an error naming its writer; each skipped entry, its index.
  EXPECT_THAT(recorder.Numbers(trace::Source::JsonWriter), ::testing::ElementsAre(14, 16, 16, 15));
  for (const auto& message : recorder.Messages()) EXPECT_EQ(message.level, trace::Level::Error);
  EXPECT_EQ(recorder.Messages().at(1).args.at(0).value, 0);
  EXPECT_EQ(recorder.Messages().at(2).args.at(0).value, 2);
}

}  // namespace
}  // namespace qm
