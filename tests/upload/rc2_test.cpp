#include "upload/rc2.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "common/sim_host_name.h"

namespace qm {
namespace {

TEST(Rc2Decipher, RefusesKeysOutOfRange) {
  EXPECT_FALSE(Rc2Decipher::FromKey({}, 128));
  EXPECT_FALSE(Rc2Decipher::FromKey(std::vector<std::uint8_t>(129, 1), 128));
  EXPECT_TRUE(Rc2Decipher::FromKey(std::vector<std::uint8_t>(128, 1), 1024));
}

// The agent enciphers through the platform's provider; our deciphering, with
// the agent's key at the effective length we assume, must give the text back.
TEST(Rc2Decipher, TextEncipheredByTheAgentComesBackWholeAndDamagedTextIsRefused) {
  const std::string_view key = "4c1d9a07e35b82f6";
  const Rc2Decipher cipher =
      Rc2Decipher::FromKey(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), 16), 128)
          .value();
  // Lengths around the block size, so the padding takes every count 1 to 8.
  for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 16u, 33u, 518u}) {
    std::vector<std::uint8_t> plain(length);
    for (std::size_t i = 0; i < length; ++i) plain[i] = static_cast<std::uint8_t>('a' + i % 26);
    const auto enciphered = sim::EncipherAsAgent(plain);
    ASSERT_EQ(enciphered.size(), (length / 8 + 1) * 8);
    EXPECT_EQ(cipher.DecipherCbc(enciphered), plain) << length;
  }
  auto enciphered = sim::EncipherAsAgent(std::vector<std::uint8_t>{'h', 'o', 's', 't'});
  EXPECT_FALSE(cipher.DecipherCbc({}));
  EXPECT_FALSE(cipher.DecipherCbc(std::span(enciphered).first(7)));
  enciphered.back() ^= 0x55;  // the padding no longer reads back
  EXPECT_FALSE(cipher.DecipherCbc(enciphered));
}

}  // namespace
}  // namespace qm
