#include "support/com.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qm {
namespace {

// Counts its references so tests can see every AddRef matched by a Release.
class CountedObject : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
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

TEST(CountedReference, ReleasesOnResetReassignmentAndDestruction) {
  CountedObject a;
  CountedObject b;
  {
    ComPtr<IUnknown> first(&a);
    EXPECT_EQ(a.references, 2u);
    ComPtr<IUnknown> copy = first;
    EXPECT_EQ(a.references, 3u);
    copy = ComPtr<IUnknown>(&b);
    EXPECT_EQ(a.references, 2u);
    EXPECT_EQ(b.references, 2u);
    copy.Reset();
    EXPECT_EQ(b.references, 1u);
    ComPtr<IUnknown> queried;
    ASSERT_EQ(first.As(queried), S_OK);
    EXPECT_EQ(a.references, 3u);
    ComPtr<IUnknown> moved = std::move(queried);
    EXPECT_EQ(a.references, 3u);
    EXPECT_FALSE(queried);
  }
  EXPECT_EQ(a.references, 1u);
  EXPECT_EQ(b.references, 1u);
}

TEST(CountedReference, PutReleasesTheOldReferenceFirst) {
  CountedObject a;
  ComPtr<IUnknown> holder(&a);
  IUnknown** slot = holder.Put();
  EXPECT_EQ(a.references, 1u);
  EXPECT_EQ(*slot, nullptr);
}

Variant Make(VARTYPE type, void (*fill)(VARIANT&)) {
  Variant v;
  VARIANT* raw = v.Put();
  V_VT(raw) = type;
  fill(*raw);
  return v;
}

TEST(VariantReadings, RawPayloadIsTakenAsItLies) {
  EXPECT_EQ(Variant::Int32(-1).Raw32(), 0xFFFFFFFFu);
  EXPECT_EQ(Variant::UInt32(7).Raw32(), 7u);
  EXPECT_EQ(Variant::UInt(9).Raw32(), 9u);
  EXPECT_EQ(Make(VT_UI2, [](VARIANT& v) { v.ulVal = 0; V_UI2(&v) = 0xBEEF; }).Raw32(), 0xBEEFu);
  EXPECT_EQ(Make(VT_BOOL, [](VARIANT& v) { v.ulVal = 0; V_BOOL(&v) = VARIANT_TRUE; }).Raw32(),
            0xFFFFu);
  EXPECT_EQ(Make(VT_INT, [](VARIANT& v) { V_INT(&v) = -2; }).Raw32(), 0xFFFFFFFEu);
  EXPECT_EQ(Make(VT_UI8, [](VARIANT& v) { V_UI8(&v) = 0x1122334455667788ull; }).Raw32(),
            0x55667788u);
  Variant empty;
  EXPECT_EQ(empty.Raw32(), 0u);
  EXPECT_EQ(Variant::Date(45000.5).RawDate(), 45000.5);
}

TEST(VariantReadings, TextConversionFollowsCom) {
  EXPECT_EQ(Variant::Text(L"18.07.02.1234").ToText(), L"18.07.02.1234");
  EXPECT_EQ(Variant::Int32(-5).ToText(), L"-5");
  EXPECT_EQ(Variant::UInt32(4294967295u).ToText(), L"4294967295");
  EXPECT_EQ(Variant().ToText(), L"");
  Variant null_text = Make(VT_BSTR, [](VARIANT& v) { V_BSTR(&v) = nullptr; });
  EXPECT_EQ(null_text.ToText(), L"");
}

TEST(VariantReadings, BooleanIsTrueOnlyForVariantTrue) {
  EXPECT_TRUE(Make(VT_BOOL, [](VARIANT& v) { V_BOOL(&v) = VARIANT_TRUE; }).ToBool());
  EXPECT_FALSE(Make(VT_BOOL, [](VARIANT& v) { V_BOOL(&v) = VARIANT_FALSE; }).ToBool());
  EXPECT_TRUE(Variant::Int32(2).ToBool());
  EXPECT_FALSE(Variant::UInt32(0).ToBool());
  EXPECT_FALSE(Variant().ToBool());  // VT_EMPTY converts to false
  EXPECT_TRUE(Variant::Text(L"True").ToBool());
  try {
    (void)Variant::Text(L"maybe").ToBool();
    FAIL() << "no exception";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), DISP_E_TYPEMISMATCH);
  }
}

TEST(VariantReadings, DateConversion) {
  EXPECT_EQ(Variant::Date(43831.25).ToDate(), 43831.25);
  EXPECT_EQ(Variant::Int32(2).ToDate(), 2.0);
  EXPECT_THROW((void)Variant::Text(L"not a date").ToDate(), ComError);
}

TEST(VariantReadings, CopiesAreDeep) {
  Variant original = Variant::Text(L"abc");
  Variant copy = original;
  original = Variant::Int32(1);
  EXPECT_EQ(copy.ToText(), L"abc");
}

}  // namespace
}  // namespace qm
