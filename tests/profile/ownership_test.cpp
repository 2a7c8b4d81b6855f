// Counts the deletions of the records a profile owns by replacing the global
// allocation functions of this test program: each record must be freed
// exactly once, and only when its owner goes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include "profile/profile_data.h"

namespace {

std::atomic<bool> g_recording{false};
constexpr std::size_t kMaxRecorded = 4096;
const void* g_deleted[kMaxRecorded];
std::size_t g_deleted_count = 0;

void Record(const void* pointer) noexcept {
  if (pointer != nullptr && g_recording.load() && g_deleted_count < kMaxRecorded) {
    g_deleted[g_deleted_count++] = pointer;
  }
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* pointer = std::malloc(size != 0 ? size : 1)) return pointer;
  throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept {
  Record(pointer);
  std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept { operator delete(pointer); }

namespace qm {
namespace {

class DeletionCount : public ::testing::Test {
 protected:
  DeletionCount() {
    g_deleted_count = 0;
    g_recording = true;
  }
  ~DeletionCount() override { g_recording = false; }

  static std::size_t TimesDeleted(const void* pointer) {
    return static_cast<std::size_t>(std::count(g_deleted, g_deleted + g_deleted_count, pointer));
  }
};

TEST_F(DeletionCount, ProfileFreesEveryRecordItOwnsExactlyOnce) {
  auto* profile = new CProfileData;
  auto* os = new COSInfo;
  auto* counters = new CDetectionCounters;
  auto* first = new CProductInfo;
  auto* second = new CProductInfo;
  auto* license_a = new CLicenseInfo;
  auto* license_b = new CLicenseInfo;
  auto* license_c = new CLicenseInfo;
  first->AddLicense(license_a);
  first->AddLicense(nullptr);
  first->AddLicense(license_b);
  second->AddLicense(license_c);
  profile->SetOSInfo(os);
  profile->SetDetectionCounters(counters);
  profile->AddProduct(first);
  profile->AddProduct(nullptr);
  profile->AddProduct(second);
  (void)profile->ToJson();
  (void)profile->ToCompareJson();

  const void* records[] = {os, counters, first, second, license_a, license_b, license_c};
  for (const void* record : records) EXPECT_EQ(TimesDeleted(record), 0u);
  delete profile;
  for (const void* record : records) EXPECT_EQ(TimesDeleted(record), 1u) << record;
  EXPECT_EQ(TimesDeleted(profile), 1u);
}

TEST_F(DeletionCount, HandingOverTheSameRecordTwiceKeepsOneOwner) {
  auto* profile = new CProfileData;
  auto* os = new COSInfo;
  profile->SetOSInfo(os);
  profile->SetOSInfo(os);
  delete profile;
  EXPECT_EQ(TimesDeleted(os), 1u);
}

TEST_F(DeletionCount, ReplacedRecordIsFreedWhenReplaced) {
  CProfileData profile;
  auto* old_counters = new CDetectionCounters;
  profile.SetDetectionCounters(old_counters);
  profile.SetDetectionCounters(new CDetectionCounters);
  EXPECT_EQ(TimesDeleted(old_counters), 1u);
}

TEST_F(DeletionCount, ProductDestroyedThroughItsVirtualDestructorFreesItsLicenses) {
  class CountingProduct : public CProductInfo {
   public:
    explicit CountingProduct(int& destroyed) : destroyed_(destroyed) {}
    ~CountingProduct() override { ++destroyed_; }

   private:
    int& destroyed_;
  };
  int destroyed = 0;
  auto* license = new CLicenseInfo;
  {
    CProfileData profile;
    auto* product = new CountingProduct(destroyed);
    product->AddLicense(license);
    profile.AddProduct(product);
  }
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(TimesDeleted(license), 1u);
}

}  // namespace
}  // namespace qm
