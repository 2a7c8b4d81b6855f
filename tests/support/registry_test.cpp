#include "support/registry.h"

#include <gtest/gtest.h>

#include <string>

#include "common/registry_sandbox.h"

namespace qm {
namespace {

constexpr wchar_t kKey[] = L"Software\\Quillmark\\Probe";

class RegistryReadTest : public ::testing::Test {
 protected:
  LSTATUS ReadProbe(const wchar_t* name, std::size_t capacity, std::wstring& text,
                    registry::TextTypes types = registry::TextTypes::AnyType) {
    UniqueKey key;
    const LSTATUS opened = registry::OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ, key);
    if (opened != ERROR_SUCCESS) return opened;
    return registry::ReadText(key.Get(), name, capacity, types, text);
  }

  testing::RegistrySandbox sandbox_;
};

TEST_F(RegistryReadTest, TextReadHonoursTheCapacityExactly) {
  const std::wstring at(8, L'a');      // 8 characters + terminator = 9 slots
  const std::wstring below(7, L'b');
  const std::wstring over(9, L'c');
  sandbox_.SetText(kKey, L"below", below);
  sandbox_.SetText(kKey, L"at", at);
  sandbox_.SetText(kKey, L"over", over);

  std::wstring text = L"untouched";
  EXPECT_EQ(ReadProbe(L"below", 9, text), ERROR_SUCCESS);
  EXPECT_EQ(text, below);
  EXPECT_EQ(ReadProbe(L"at", 9, text), ERROR_SUCCESS);
  EXPECT_EQ(text, at);

  text = L"untouched";
  EXPECT_EQ(ReadProbe(L"over", 9, text), ERROR_MORE_DATA);
  EXPECT_EQ(text, L"untouched");
}

TEST_F(RegistryReadTest, UnterminatedValueComesBackTerminatedAndWhole) {
  const wchar_t raw[] = {L'x', L'y', L'z'};
  sandbox_.Set(kKey, L"raw", REG_SZ, raw, sizeof(raw));
  std::wstring text;
  ASSERT_EQ(ReadProbe(L"raw", 3, text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"xyz");
  ASSERT_EQ(ReadProbe(L"raw", 2, text), ERROR_MORE_DATA);
}

TEST_F(RegistryReadTest, StringsOnlyRefusesOtherTypes) {
  sandbox_.SetDword(kKey, L"number", 7);
  sandbox_.Set(kKey, L"expand", REG_EXPAND_SZ, L"%TEMP%", sizeof(L"%TEMP%"));
  std::wstring text;
  EXPECT_EQ(ReadProbe(L"number", 260, text, registry::TextTypes::StringsOnly),
            ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(ReadProbe(L"expand", 260, text, registry::TextTypes::StringsOnly), ERROR_SUCCESS);
  EXPECT_EQ(text, L"%TEMP%");
  EXPECT_EQ(ReadProbe(L"number", 260, text), ERROR_SUCCESS);  // any type: bytes taken as text
}

TEST_F(RegistryReadTest, IntegerReadTakesFourBytesWhateverTheType) {
  const unsigned char two[] = {0x34, 0x12};
  const unsigned char five[] = {1, 2, 3, 4, 5};
  sandbox_.SetDword(kKey, L"all", 0xFFFFFFFF);
  sandbox_.Set(kKey, L"two", REG_BINARY, two, sizeof(two));
  sandbox_.Set(kKey, L"five", REG_BINARY, five, sizeof(five));
  UniqueKey key;
  ASSERT_EQ(registry::OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ, key), ERROR_SUCCESS);

  std::uint32_t value = 99;
  EXPECT_EQ(registry::ReadUInt32(key.Get(), L"all", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(registry::ReadUInt32(key.Get(), L"two", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0x1234u);
  value = 99;
  EXPECT_EQ(registry::ReadUInt32(key.Get(), L"five", value), ERROR_MORE_DATA);
  EXPECT_EQ(value, 99u);
  EXPECT_EQ(registry::ReadUInt32(key.Get(), L"missing", value), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryReadTest, ByteReadIsBoundedByItsLimit) {
  const unsigned char data[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  sandbox_.Set(kKey, L"blob", REG_BINARY, data, sizeof(data));
  UniqueKey key;
  ASSERT_EQ(registry::OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ, key), ERROR_SUCCESS);
  std::string bytes;
  ASSERT_EQ(registry::ReadBytes(key.Get(), L"blob", 10, bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(data), sizeof(data)));
  EXPECT_EQ(registry::ReadBytes(key.Get(), L"blob", 9, bytes), ERROR_MORE_DATA);
}

TEST_F(RegistryReadTest, FailedOpenLeavesTheKeyEmpty) {
  UniqueKey key;
  EXPECT_EQ(registry::OpenKey(HKEY_LOCAL_MACHINE, L"Software\\Nowhere", KEY_READ, key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key);
}

}  // namespace
}  // namespace qm
