#include "support/registry.h"

#include <gtest/gtest.h>

#include <string>

#include "common/registry_sandbox.h"

namespace qm {
namespace {

// Integers are read through the fallback product's table.
TEST(RegistryRead, TextAndBytesAreTerminatedAndBoundedByTheirCapacityAndLeftAloneOnFailure) {
  constexpr wchar_t kKey[] = L"Software\\Quillmark\\Probe";
  testing::RegistrySandbox sandbox;
  const wchar_t raw[] = {L'x', L'y', L'z'};  // no terminator
  const unsigned char ten[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  sandbox.SetText(kKey, L"8", std::wstring(8, L'a'));
  sandbox.SetText(kKey, L"9", std::wstring(9, L'c'));
  sandbox.Set(kKey, L"raw", REG_SZ, raw, sizeof(raw));
  sandbox.Set(kKey, L"expand", REG_EXPAND_SZ, L"%TEMP%", sizeof(L"%TEMP%"));
  sandbox.SetDword(kKey, L"dword", 0xFFFFFFFF);
  sandbox.Set(kKey, L"ten", REG_BINARY, ten, sizeof(ten));
  UniqueKey key;
  ASSERT_EQ(registry::OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ, key), ERROR_SUCCESS);

  using registry::TextTypes;
  const struct {
    const wchar_t* name;
    std::size_t capacity;  // terminator included
    TextTypes types;
    LSTATUS status;
    std::wstring text;
  } cases[] = {
      {L"8", 9, TextTypes::AnyType, ERROR_SUCCESS, L"aaaaaaaa"},
      {L"9", 9, TextTypes::AnyType, ERROR_MORE_DATA, L"untouched"},
      {L"raw", 3, TextTypes::AnyType, ERROR_SUCCESS, L"xyz"},
      {L"expand", 260, TextTypes::StringsOnly, ERROR_SUCCESS, L"%TEMP%"},
      {L"dword", 260, TextTypes::StringsOnly, ERROR_UNSUPPORTED_TYPE, L"untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.name)) + " in " +
                 std::to_string(c.capacity));
    std::wstring text = L"untouched";
    EXPECT_EQ(registry::ReadText(key.Get(), c.name, c.capacity, c.types, text), c.status);
    EXPECT_EQ(text, c.text);
  }

  std::string bytes;
  ASSERT_EQ(registry::ReadBytes(key.Get(), L"ten", 10, bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string("\0\1\2\3\4\5\6\7\x8\x9", 10));
  EXPECT_EQ(registry::ReadBytes(key.Get(), L"ten", 9, bytes), ERROR_MORE_DATA);
}

}  // namespace
}  // namespace qm
