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

// Counts its references so tests can see every AddRef matched by a Release.
class CountedObject : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  virtual ~CountedObject() = default;

  ULONG references = 1;
};

TEST(CountedReference, ThrowsEPointerWhenCalledWhileEmpty) {
  ComPtr<IUnknown> empty;
  try {
    empty->AddRef();
    FAIL() << "no exception";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), E_POINTER);
  }
  ComPtr<IUnknown> other;
  EXPECT_EQ(empty.As(other), E_POINTER);
}

TEST(CountedReference, ReleasesOnResetReassignmentPutAndDestruction) {
  CountedObject a;
  CountedObject b;
  {
    ComPtr<IUnknown> first(&a);
    ComPtr<IUnknown> copy = first;
    EXPECT_EQ(a.references, 3u);
    copy = ComPtr<IUnknown>(&b);
    EXPECT_EQ(a.references, 2u);
    EXPECT_EQ(b.references, 2u);
    copy.Reset();
    EXPECT_EQ(b.references, 1u);
    ComPtr<IUnknown> queried;
    ASSERT_EQ(first.As(queried), S_OK);
    ComPtr<IUnknown> moved = std::move(queried);
    EXPECT_EQ(a.references, 3u);
    EXPECT_FALSE(queried);
    EXPECT_EQ(*moved.Put(), nullptr);  // the old reference goes before the slot is handed out
    EXPECT_EQ(a.references, 2u);
  }
  EXPECT_EQ(a.references, 1u);
  EXPECT_EQ(b.references, 1u);
}

// A VARIANT of `type` whose payload bytes are those of `payload`.
Variant Typed(VARTYPE type, ULONGLONG payload) {
  Variant v;
  VARIANT* raw = v.Put();
  V_VT(raw) = type;
  raw->ullVal = payload;
  return v;
}

TEST(VariantReadings, RawPayloadIsTakenAsItLies) {
  const std::vector<std::pair<Variant, std::uint32_t>> cases = {
      {Typed(VT_UI2, 0xBEEF), 0xBEEFu},
      {Typed(VT_BOOL, 0xFFFF), 0xFFFFu},
      {Variant::Int32(-2), 0xFFFFFFFEu},
      {Typed(VT_UI8, 0x1122334455667788ull), 0x55667788u},
      {Variant(), 0u}};
  for (const auto& [variant, raw] : cases) EXPECT_EQ(variant.Raw32(), raw);
  // A slot handed out again keeps none of its earlier value's bytes.
  Variant reused = Variant::Date(45000.75);
  V_VT(reused.Put()) = VT_UI4;
  EXPECT_EQ(reused.RawDate(), 0.0);
}

TEST(VariantReadings, TextBooleanAndDateFollowComConversion) {
  const std::vector<std::pair<Variant, const wchar_t*>> texts = {
      {Variant::Text(L"18.07.02.1234"), L"18.07.02.1234"},
      {Variant::UInt32(4294967295u), L"4294967295"},
      {Typed(VT_BSTR, 0), L""}};
  for (const auto& [variant, text] : texts) EXPECT_EQ(variant.ToText(), text);

  // True only for VARIANT_TRUE after conversion; VT_EMPTY converts to false.
  const std::vector<std::pair<Variant, bool>> booleans = {
      // A boolean is true when non-zero, whatever non-zero value the SDK stored.
      {Typed(VT_BOOL, 0xFFFF), true}, {Typed(VT_BOOL, 0), false},  {Typed(VT_BOOL, 1), true},
      {Variant::Int32(2), true},      {Variant::UInt32(0), false}, {Variant(), false},
      {Variant::Text(L"True"), true}};
  for (std::size_t i = 0; i < booleans.size(); ++i) {
    EXPECT_EQ(booleans[i].first.ToBool(), booleans[i].second) << "case " << i;
  }
  try {
    (void)Variant::Text(L"maybe").ToBool();
    FAIL() << "no exception";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), DISP_E_TYPEMISMATCH);
  }

  EXPECT_EQ(Variant::Date(43831.25).ToDate(), 43831.25);
  EXPECT_EQ(Variant::Int32(2).ToDate(), 2.0);
  EXPECT_THROW((void)Variant::Text(L"not a date").ToDate(), ComError);
}

TEST(VariantReadings, CopiesAreDeep) {
  Variant original = Variant::Text(L"abc");
  const Variant copy = original;
  original = Variant::Int32(1);
  EXPECT_EQ(copy.ToText(), L"abc");
}

}  // namespace
}  // namespace qm
