#include "support/com.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/unique_resource.h"

namespace qm {
namespace {

// Records what it frees, and leaves an error of its own as a real free may.
struct RecordedTraits {
  using Value = int;
  static inline std::vector<int> freed;
  static Value Empty() noexcept { return 0; }
  static bool IsEmpty(Value v) noexcept { return v == 0; }
  static void Free(Value v) noexcept {
    freed.push_back(v);
    ::SetLastError(ERROR_INVALID_HANDLE);
  }
};

TEST(UniqueResource, FreesEachValueOnceAfterMovesAndKeepsTheCallersLastError) {
  using Owner = UniqueResource<RecordedTraits>;
  {
    Owner a(1);
    Owner b(std::move(a));
    EXPECT_FALSE(a);
    a = Owner(2);
    b = std::move(a);  // frees 1
    EXPECT_EQ(b.Get(), 2);
    ::SetLastError(ERROR_ACCESS_DENIED);
    b.Reset(3);  // frees 2
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    *b.Put() = 4;  // frees 3
    Owner released(5);
    EXPECT_EQ(released.Release(), 5);
  }  // frees 4
  EXPECT_EQ(RecordedTraits::freed, (std::vector<int>{1, 2, 3, 4}));
}

// Counts its references. Reset, Put and destruction show in the collector's
// count of live SDK objects; reassignment only here.
struct CountedObject : IUnknown {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  virtual ~CountedObject() = default;
  ULONG references = 1;
};

TEST(CountedReference, ReleasesWhatItHeldWhenReassignedAndThrowsEPointerWhileEmpty) {
  CountedObject a, b;
  ComPtr<IUnknown> held(&a);
  const ComPtr<IUnknown> other(&b);
  held = other;
  EXPECT_EQ(a.references, 1u);
  held = ComPtr<IUnknown>(&a);
  EXPECT_EQ(b.references, 2u);
  EXPECT_EQ(a.references, 2u);

  ComPtr<IUnknown> empty;
  EXPECT_EQ(empty.As(held), E_POINTER);
  try {
    empty->AddRef();
    FAIL() << "no exception";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), E_POINTER);
  }
}

// Conversions and raw readings are exercised through the collector's readers;
// here only what no reader shows.
TEST(Variant, ASlotHandedOutAgainKeepsNoneOfItsEarlierBytes) {
  Variant reused = Variant::Date(45000.75);
  V_VT(reused.Put()) = VT_UI4;
  EXPECT_EQ(reused.RawDate(), 0.0);
}

}  // namespace
}  // namespace qm
