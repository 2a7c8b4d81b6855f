#include "support/registry.h"

#include <gtest/gtest.h>

#include <string>

#include "common/registry_sandbox.h"

namespace qm {
namespace {

constexpr wchar_t kKey[] = L"Software\\Quillmark\\Probe";

class RegistryRead : public ::testing::Test {
 protected:
  void SetUp() override {
    const wchar_t raw[] = {L'x', L'y', L'z'};  // no terminator
    const unsigned char ten[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    sandbox_.SetText(kKey, L"8", std::wstring(8, L'a'));
    sandbox_.SetText(kKey, L"9", std::wstring(9, L'c'));
    sandbox_.Set(kKey, L"raw", REG_SZ, raw, sizeof(raw));
    sandbox_.Set(kKey, L"expand", REG_EXPAND_SZ, L"%TEMP%", sizeof(L"%TEMP%"));
    sandbox_.SetDword(kKey, L"dword", 0xFFFFFFFF);
    sandbox_.Set(kKey, L"ten", REG_BINARY, ten, sizeof(ten));
    ASSERT_EQ(registry::OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ, key_), ERROR_SUCCESS);
  }

  testing::RegistrySandbox sandbox_;
  UniqueKey key_;
};

TEST_F(RegistryRead, TextIsTerminatedAndBoundedByItsCapacityAndLeftAloneOnFailure) {
  using registry::TextTypes;
  struct Case {
    const wchar_t* name;
    std::size_t capacity;  // terminator included
    TextTypes types;
    LSTATUS status;
    std::wstring text;
  };
  const Case cases[] = {
      {L"8", 9, TextTypes::AnyType, ERROR_SUCCESS, L"aaaaaaaa"},
      {L"9", 9, TextTypes::AnyType, ERROR_MORE_DATA, L"untouched"},
      {L"raw", 3, TextTypes::AnyType, ERROR_SUCCESS, L"xyz"},
      {L"expand", 260, TextTypes::StringsOnly, ERROR_SUCCESS, L"%TEMP%"},
      {L"dword", 260, TextTypes::StringsOnly, ERROR_UNSUPPORTED_TYPE, L"untouched"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.name)) + " in " +
                 std::to_string(c.capacity));
    std::wstring text = L"untouched";
    EXPECT_EQ(registry::ReadText(key_.Get(), c.name, c.capacity, c.types, text), c.status);
    EXPECT_EQ(text, c.text);
  }
}

// Integers are read through the fallback product's table.
TEST_F(RegistryRead, BytesAreBoundedByTheirCapacity) {
  std::string bytes;
  ASSERT_EQ(registry::ReadBytes(key_.Get(), L"ten", 10, bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string("\0\1\2\3\4\5\6\7\x8\x9", 10));
  EXPECT_EQ(registry::ReadBytes(key_.Get(), L"ten", 9, bytes), ERROR_MORE_DATA);
}

}  // namespace
}  // namespace qm
