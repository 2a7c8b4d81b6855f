#include "upload/platform_cipher.h"

#include <windows.h>

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstring>

namespace qm::testing {
namespace {

constexpr std::size_t kRc2BlockSize = 8;

// The agent's key in the platform's default full-RSA provider. The provider is
// found through HKEY_LOCAL_MACHINE, which a test's registry sandbox replaces,
// so the key is made once before any test runs and lives as long as the process.
HCRYPTKEY MakeAgentKey() {
  HCRYPTPROV provider = 0;
  HCRYPTKEY key = 0;
  struct {
    BLOBHEADER header;
    DWORD length;
    BYTE key[16];
  } blob{{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RC2}, 16, {}};
  std::memcpy(blob.key, kAgentKeyText, sizeof(blob.key));
  // Imported without CRYPT_IPSEC_HMAC_KEY: with it Wine's provider refuses
  // to encipher or decipher at all.
  if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
      !::CryptImportKey(provider, reinterpret_cast<const BYTE*>(&blob), sizeof(blob), 0, 0, &key)) {
    ADD_FAILURE() << "no platform key, error " << ::GetLastError();
  }
  return key;
}
const HCRYPTKEY g_agent_key = MakeAgentKey();

}  // namespace

std::vector<std::uint8_t> EncipherWithPlatform(std::span<const std::uint8_t> plain) {
  std::vector<std::uint8_t> data(plain.begin(), plain.end());
  DWORD length = static_cast<DWORD>(data.size());
  data.resize(data.size() + kRc2BlockSize);
  if (!::CryptEncrypt(g_agent_key, 0, TRUE, 0, data.data(), &length,
                      static_cast<DWORD>(data.size()))) {
    ADD_FAILURE() << "not enciphered, error " << ::GetLastError();
    return {};
  }
  data.resize(length);
  return data;
}

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (count > 1) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    if (count > 2) group |= bytes[i + 2];
    for (std::size_t j = 0; j < 4; ++j) {
      text += j <= count ? kAlphabet[(group >> (18 - 6 * j)) & 63] : '=';
    }
  }
  return text;
}

std::vector<std::uint8_t> Utf16Bytes(std::wstring_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());  // UTF-16LE in memory
  return {bytes, bytes + text.size() * sizeof(wchar_t)};
}

std::wstring StoredHostName(std::wstring_view host_name, std::wstring_view prefix) {
  const std::string encoded = Base64Encode(EncipherWithPlatform(Utf16Bytes(host_name)));
  return std::wstring(prefix) + std::wstring(encoded.begin(), encoded.end());
}

}  // namespace qm::testing
