// Building the documents and the hash must grow linearly with the profile:
// 10 times the products may cost at most 11 times the time.
//
// Prints, for 1,000 and 10,000 products of 4 licences each, the best time of
// several rounds of (full document + reduced document + hash), the output
// size and the cost per output character, then the ratio. Exits 1 when the
// ratio is above the bound.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "profile/document_hash.h"
#include "profile/profile_data.h"

namespace {

constexpr double kMaxRatio = 11.0;
constexpr int kLicensesPerProduct = 4;

std::unique_ptr<qm::CProfileData> MakeProfile(int products) {
  auto profile = std::make_unique<qm::CProfileData>();
  profile->SetMUID(L"7F3C2A9E-1B4D-4E8F-9A6C-5D2E1F0B3C4A");
  profile->SetSuiteID(19);
  profile->SetSuiteVersion(L"19.1.0");
  profile->SetSuiteVersionNumber(L"19010000");
  profile->SetCountry(L"ES");
  profile->SetLanguage(L"es-ES");
  profile->SetCustomID(187477);
  auto* os = new qm::COSInfo;
  os->SetOSMajorVer(10);
  os->SetOSx64(true);
  os->SetW10BuildNumber(L"19045");
  profile->SetOSInfo(os);
  auto* counters = new qm::CDetectionCounters;
  counters->SetVirusDetections(12);
  counters->SetRecoveredBytes(L"123456789012");
  profile->SetDetectionCounters(counters);
  for (int p = 0; p < products; ++p) {
    auto* product = new qm::CProductInfo;
    product->SetProductID(std::to_wstring(50 + p));
    product->SetVersionType(L"2");
    product->SetMyAccountID(L"account-" + std::to_wstring(p));
    product->SetModuleStatus(L"65537");
    for (int l = 0; l < kLicensesPerProduct; ++l) {
      auto* license = new qm::CLicenseInfo;
      license->SetActivationCode(L"ACT-" + std::to_wstring(p) + L"-" + std::to_wstring(l));
      license->SetLicenseVersionType(l % 2 == 0 ? L"PRO" : L"");
      license->SetClientID(L"client-4711");
      license->SetProductLicenseID(L"PL-" + std::to_wstring(p * kLicensesPerProduct + l));
      license->SetActivationDate(L"2024-01-31");
      license->SetExpirationDate(L"2025-01-31");
      product->AddLicense(license);
    }
    profile->AddProduct(product);
  }
  return profile;
}

struct Measurement {
  double seconds = 1e30;  // best round
  std::size_t characters = 0;
  std::uint32_t hash = 0;
};

// A run builds its documents once, from a profile the collector has just
// filled, not over and over from a profile that stays in the processor's
// caches. Walking a buffer larger than any cache before each round puts both
// sizes back in that position; otherwise the small profile, which fits in the
// caches, would be measured warm and the large one cold.
void EvictCaches() {
  static std::vector<std::uint32_t> sweep(64u << 20 >> 2, 1u);
  std::uint32_t sum = 0;
  for (std::uint32_t& word : sweep) sum += ++word;
  volatile std::uint32_t sink = sum;
  (void)sink;
}

// The run's texts as a real run hands them to the documents.
qm::DocumentInputs RunInputs() {
  qm::DocumentInputs inputs;
  inputs.install_uid = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
  inputs.own_file_version = L"1.0.0.0";
  return inputs;
}

void MeasureRound(const qm::CProfileData& profile, Measurement& best) {
  static const qm::DocumentInputs inputs = RunInputs();
  EvictCaches();
  const auto start = std::chrono::steady_clock::now();
  const std::wstring full = profile.ToJson(inputs, {});
  const std::wstring reduced = profile.ToCompareJson(inputs);
  const std::uint32_t hash = qm::ReducedDocumentHash(reduced);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  best.seconds = std::min(best.seconds, elapsed.count());
  best.characters = full.size() + reduced.size();
  best.hash = hash;
}

void Print(int products, const Measurement& m) {
  std::printf("%6d products: %9.3f ms  %10zu characters  %6.2f ns/character  hash %08X\n", products,
              m.seconds * 1e3, m.characters, m.seconds * 1e9 / static_cast<double>(m.characters),
              static_cast<unsigned>(m.hash));
}

}  // namespace

int main() {
  constexpr int kSmall = 1000;
  constexpr int kLarge = 10000;
  constexpr int kRounds = 9;
  const auto small_profile = MakeProfile(kSmall);
  const auto large_profile = MakeProfile(kLarge);
  // The rounds of the two sizes alternate, so a busy machine slows both alike;
  // the best round of each is the cost of the work itself.
  Measurement small;
  Measurement large;
  for (int round = 0; round < kRounds; ++round) {
    MeasureRound(*small_profile, small);
    MeasureRound(*large_profile, large);
  }
  Print(kSmall, small);
  Print(kLarge, large);
  const double ratio = large.seconds / small.seconds;
  std::printf("ratio 10,000 / 1,000: %.2f (bound %.0f): %s\n", ratio, kMaxRatio,
              ratio <= kMaxRatio ? "linear" : "TOO SLOW");
  return ratio <= kMaxRatio ? 0 : 1;
}
