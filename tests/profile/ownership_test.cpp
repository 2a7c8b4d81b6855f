// Counts the deletions of the records a profile owns by replacing the global
// allocation functions of this test program: each record must be freed
// exactly once, and only when its owner goes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <new>

#include "profile/profile_data.h"

namespace {

std::atomic<bool> g_recording{false};
const void* g_deleted[4096];
std::size_t g_deleted_count = 0;

void Free(void* pointer) noexcept {
  if (pointer != nullptr && g_recording && g_deleted_count < std::size(g_deleted)) {
    g_deleted[g_deleted_count++] = pointer;
  }
  std::free(pointer);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* pointer = std::malloc(size != 0 ? size : 1)) return pointer;
  throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept { Free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Free(pointer); }

namespace qm {
namespace {

std::size_t TimesDeleted(const void* pointer) {
  return static_cast<std::size_t>(std::count(g_deleted, g_deleted + g_deleted_count, pointer));
}

TEST(ProfileOwnership, ProfileFreesEveryRecordItOwnsExactlyOnce) {
  // Every record is allocated before anything is freed, so no record can
  // share an address with a block freed earlier.
  g_recording = true;
  auto* profile = new CProfileData;
  auto* os = new COSInfo;
  auto* counters = new CDetectionCounters;
  auto* replaced = new CDetectionCounters;
  auto* first = new CProductInfo;
  auto* second = new CProductInfo;
  auto* license_a = new CLicenseInfo;
  auto* license_b = new CLicenseInfo;
  first->AddLicense(license_a);
  first->AddLicense(nullptr);
  first->AddLicense(license_b);
  profile->SetOSInfo(os);
  profile->SetOSInfo(os);  // the same record handed over twice keeps one owner
  profile->SetDetectionCounters(replaced);
  profile->SetDetectionCounters(counters);  // a second record replaces the first
  EXPECT_EQ(TimesDeleted(replaced), 1u);
  profile->AddProduct(first);
  profile->AddProduct(nullptr);
  profile->AddProduct(second);
  (void)profile->ToJson({}, {});
  (void)profile->ToCompareJson({});

  const void* records[] = {os, counters, first, second, license_a, license_b};
  for (const void* record : records) EXPECT_EQ(TimesDeleted(record), 0u);
  delete profile;
  g_recording = false;
  for (const void* record : records) EXPECT_EQ(TimesDeleted(record), 1u) << record;
  EXPECT_EQ(TimesDeleted(profile), 1u);
}

}  // namespace
}  // namespace qm
