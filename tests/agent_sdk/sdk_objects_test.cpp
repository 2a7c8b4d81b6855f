// What the collector's tests cannot see fail in the stand-in: a payload of the
// wrong width, a reference counted wrongly (which would hide a leak of the
// program) and an argument of the wrong type accepted.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "sdk_test_support.h"

namespace qm::sim {
namespace {

using testing::ScenarioFrom;
using testing::Session;

template <typename T>
Variant Dispatch(const ComPtr<T>& object) {
  return Variant::Dispatch(object.Get());
}

ULONG References(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

class SdkObjectsTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(LiveSdkObjects(), live_before_) << "an SDK object leaked"; }
  const long live_before_ = LiveSdkObjects();
};

// The payload in the width of its type, as it lies in the VARIANT.
std::uint64_t Payload(const VARIANT& value) {
  const VARTYPE type = V_VT(&value);
  if (type == VT_UI8 || type == VT_DATE) return value.ullVal;
  return type == VT_UI2 || type == VT_BOOL ? value.uiVal : value.ulVal;
}

TEST_F(SdkObjectsTest, ConfigurationItemsArriveWithTheConfiguredResultTypeAndPayload) {
  Session session(ScenarioFrom(R"({"config": {
      "0x4009701": "MUID-1", "0x4009025": 42,
      "0x4009703": {"type": "VT_UI2", "value": 65535},
      "0x4009706": {"type": "VT_UI8", "value": 4294967301},
      "0x4009707": {"type": "VT_BOOL", "value": 1},
      "0x4009708": {"type": "VT_DATE", "value": "2021-03-07T12:00:00"},
      "0x4009015": {"result": "0x80004005"},
      "0x4009019": {"result": "S_FALSE", "value": "es-ES"}}})"));
  struct Case {
    LONG item;
    HRESULT result;
    VARTYPE type;
    std::uint64_t payload;      // unless text or empty
    const wchar_t* text = nullptr;
  };
  const Case cases[] = {
      {0x4009701, S_OK, VT_BSTR, 0, L"MUID-1"},
      {0x4009025, S_OK, VT_I4, 42},
      {0x4009703, S_OK, VT_UI2, 65535},
      {0x4009706, S_OK, VT_UI8, 4294967301},
      {0x4009707, S_OK, VT_BOOL, 1},  // neither VARIANT_TRUE nor VARIANT_FALSE
      {0x4009708, S_OK, VT_DATE, std::bit_cast<std::uint64_t>(44262.5)},
      {0x4009015, E_FAIL, VT_EMPTY, 0},  // the reader's VT_UINT is cleared
      {0x4009019, S_FALSE, VT_BSTR, 0, L"es-ES"},
      {0x4009999, kItemNotFound, VT_EMPTY, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ItemName(c.item));
    HRESULT result = E_UNEXPECTED;
    const Variant value = session.Read(c.item, result);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(value.Type(), c.type);
    if (c.text != nullptr) {
      EXPECT_EQ(value.ToText(), c.text);
    } else if (c.type != VT_EMPTY) {
      EXPECT_EQ(Payload(value.Get()), c.payload);
    }
  }
}

TEST_F(SdkObjectsTest, ObjectsHeldInValuesAreCountedAndReleased) {
  Session session(ScenarioFrom("{}"));
  auto communication = session.Make<IDispatch>(omx::kCommunicationProgId);
  EXPECT_EQ(References(communication.Get()), 1u) << "the creator holds the only reference";
  ASSERT_EQ(session.context->SetProperty(Bstr(omx::kContextCommunicationProperty).Get(), Dispatch(communication).Get()),
            S_OK);
  EXPECT_EQ(References(communication.Get()), 2u) << "the context keeps the communication object";

  auto map = session.Make<IOmxMap>(omx::kStringMapProgId);
  auto filter = session.Make<IDispatch>(omx::kDateTimeFilterProgId);
  for (int twice = 0; twice < 2; ++twice) {
    ASSERT_EQ(map->Set(Variant::Text(L"0").Get(), Dispatch(filter).Get()), S_OK);
  }
  EXPECT_EQ(References(filter.Get()), 2u) << "replacing an entry releases the value it held";
  map.Reset();
  EXPECT_EQ(References(filter.Get()), 1u) << "a released map releases its values";
}

TEST_F(SdkObjectsTest, DateTimePartsMustBeNumbers) {
  Session session(ScenarioFrom("{}"));
  auto date = session.Make<IOmxDateTime>(omx::kDateTimeProgId);
  EXPECT_EQ(date->SetDate(Variant::Text(L"x").Get(), Variant::Int32(1).Get(), Variant::Int32(1).Get()),
            DISP_E_TYPEMISMATCH);
  auto filter = session.Make<IOmxDateTimeFilter>(omx::kDateTimeFilterProgId);
  EXPECT_EQ(filter->SetStart(Variant::Int32(1).Get()), E_INVALIDARG) << "the window takes date-time objects";
}

}  // namespace
}  // namespace qm::sim
