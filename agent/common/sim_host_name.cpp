#include "common/sim_host_name.h"

#include <windows.h>

#include <wincrypt.h>

#include <algorithm>
#include <cstring>

#include "common/scenario_error.h"

namespace qm::sim {
namespace {

// The agent's key: these 16 ASCII bytes themselves, not their hexadecimal value.
constexpr char kAgentKeyText[] = "4c1d9a07e35b82f6";
constexpr DWORD kRc2BlockSize = 8;

struct AgentKey {
  HCRYPTKEY key = 0;
  DWORD error = ERROR_SUCCESS;
};

// Made once and kept for the process (a short-lived tool or test program).
AgentKey MakeAgentKey() {
  HCRYPTPROV provider = 0;
  AgentKey made;
  struct {
    BLOBHEADER header;
    DWORD length;
    BYTE key[16];
  } blob{{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RC2}, 16, {}};
  std::memcpy(blob.key, kAgentKeyText, sizeof(blob.key));
  // Imported without CRYPT_IPSEC_HMAC_KEY: with it Wine's provider refuses
  // to encipher or decipher at all.
  if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
      !::CryptImportKey(provider, reinterpret_cast<const BYTE*>(&blob), sizeof(blob), 0, 0,
                        &made.key)) {
    made.error = ::GetLastError();
  }
  return made;
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

}  // namespace

std::vector<std::uint8_t> EncipherAsAgent(std::span<const std::uint8_t> plain) {
  static const AgentKey agent_key = MakeAgentKey();
  if (agent_key.key == 0) {
    throw ScenarioError("the platform's provider gives no key for the host name, error " +
                        std::to_string(agent_key.error));
  }
  std::vector<std::uint8_t> data(plain.begin(), plain.end());
  DWORD length = static_cast<DWORD>(data.size());
  data.resize(data.size() + kRc2BlockSize);  // room for the padding
  if (!::CryptEncrypt(agent_key.key, 0, TRUE, 0, data.data(), &length,
                      static_cast<DWORD>(data.size()))) {
    throw ScenarioError("the platform's provider did not encipher the host name, error " +
                        std::to_string(::GetLastError()));
  }
  data.resize(length);
  return data;
}

std::wstring AgentHostNameValue(std::wstring_view host_name, std::wstring_view prefix) {
  const auto* utf16 = reinterpret_cast<const std::uint8_t*>(host_name.data());  // UTF-16LE
  const std::string encoded =
      Base64Encode(EncipherAsAgent({utf16, host_name.size() * sizeof(wchar_t)}));
  return std::wstring(prefix) + std::wstring(encoded.begin(), encoded.end());
}

}  // namespace qm::sim
