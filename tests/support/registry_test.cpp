#include "support/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/registry_sandbox.h"

namespace qm {
namespace {

// This program's import slot of the registry read (the toolchain's name for it).
// While growths are left, the hook put there makes the value a byte longer after
// each read, as another writer would.
using QueryValue = decltype(&::RegQueryValueExW);
extern "C" QueryValue g_query_slot __asm__("__imp__RegQueryValueExW@24");
QueryValue g_query = nullptr;
int g_growths = 0;

LSTATUS WINAPI QueryWhileGrowing(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD size) {
  const LSTATUS status = g_query(key, name, reserved, type, data, size);
  DWORD bytes = 0;
  if (g_growths-- > 0 && g_query(key, name, nullptr, nullptr, nullptr, &bytes) == ERROR_SUCCESS) {
    const std::string longer(bytes + 1, 'g');
    ::RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(longer.data()),
                     bytes + 1);
  }
  return status;
}

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
  ASSERT_EQ(registry::OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_SET_VALUE, key),
            ERROR_SUCCESS);

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

  // A value that grows between the size query and the read is read again at its
  // new size, four reads in all (three growths).
  const struct {
    int growths;
    std::size_t max_bytes;
    LSTATUS status;
    std::string bytes;
  } reads[] = {
      {0, 10, ERROR_SUCCESS, std::string("\0\1\2\3\4\5\6\7\x8\x9", 10)},
      {0, 9, ERROR_MORE_DATA, ""},
      {3, 64, ERROR_SUCCESS, std::string(13, 'g')},
      {4, 64, ERROR_MORE_DATA, ""},
      {1, 10, ERROR_MORE_DATA, ""},  // grown past what the caller takes
  };
  DWORD protection = 0;
  ::VirtualProtect(&g_query_slot, sizeof g_query_slot, PAGE_READWRITE, &protection);
  g_query = std::exchange(g_query_slot, &QueryWhileGrowing);
  for (const auto& read : reads) {
    SCOPED_TRACE(::testing::Message() << read.growths << " growths, " << read.max_bytes);
    sandbox.Set(kKey, L"ten", REG_BINARY, ten, sizeof(ten));
    g_growths = read.growths;
    std::string bytes;
    EXPECT_EQ(registry::ReadBytes(key.Get(), L"ten", read.max_bytes, bytes), read.status);
    EXPECT_EQ(bytes, read.bytes);
  }
  g_query_slot = g_query;
}

}  // namespace
}  // namespace qm
