#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "sdk_test_support.h"

namespace qm::sim {
namespace {

using testing::ScenarioFrom;
using testing::Session;

ComPtr<IOmxMap> MapOf(const Variant& value) {
  ComPtr<IOmxMap> map;
  EXPECT_EQ(value.Type(), VT_DISPATCH);
  if (value.Type() == VT_DISPATCH) {
    EXPECT_EQ(ComPtr<IDispatch>(value.Get().pdispVal).As(map), S_OK);
  }
  return map;
}

// Entries of a map-valued `value`, walked as the program walks them.
Variant At(const Variant& value, LONG index) {
  Variant entry;
  EXPECT_EQ(MapOf(value)->ValueAt(index, entry.Put()), S_OK);
  return entry;
}
Variant Get(const Variant& value, const wchar_t* key) {
  Variant entry;
  EXPECT_EQ(MapOf(value)->Get(Variant::Text(key).Get(), entry.Put()), S_OK);
  return entry;
}
std::wstring KeyAt(const Variant& value, LONG index) {
  Variant key;
  EXPECT_EQ(MapOf(value)->KeyAt(index, key.Put()), S_OK);
  return key.ToText();
}

HRESULT Add(const ComPtr<IOmxMap>& map, const wchar_t* key, const Variant& value) {
  return map->Add(Variant::Text(key).Get(), value.Get());
}

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
      "0x4009701": "MUID-1", "0x4009025": 42, "0x400902B": true, "0x4009996": {"Installed": 7},
      "0x4009703": {"type": "VT_UI2", "value": 65535},
      "0x4009704": {"type": "VT_INT", "value": -3},
      "0x4009705": {"type": "VT_UINT", "value": 9},
      "0x4009706": {"type": "VT_UI8", "value": 4294967301},
      "0x4009707": {"type": "VT_BOOL", "value": 1},
      "0x4009708": {"type": "VT_DATE", "value": "2021-03-07T12:00:00"},
      "0x4009709": {"type": "VT_UI4", "value": "0xFFFFFFFF"},
      "0x4009702": {"type": "VT_EMPTY"},
      "0x4009015": {"result": "0x80004005"},
      "0x4009019": {"result": "S_FALSE", "value": "es-ES"}}})"));
  struct Case {
    LONG item;
    HRESULT result;
    VARTYPE type;
    std::uint64_t payload;      // unless text, empty or an object
    const wchar_t* text = nullptr;
  };
  const Case cases[] = {
      {0x4009701, S_OK, VT_BSTR, 0, L"MUID-1"},
      {0x4009025, S_OK, VT_I4, 42},
      {0x400902B, S_OK, VT_BOOL, 0xFFFF},
      {0x4009703, S_OK, VT_UI2, 65535},
      {0x4009704, S_OK, VT_INT, 0xFFFFFFFD},
      {0x4009705, S_OK, VT_UINT, 9},
      {0x4009706, S_OK, VT_UI8, 4294967301},
      {0x4009707, S_OK, VT_BOOL, 1},  // neither VARIANT_TRUE nor VARIANT_FALSE
      {0x4009708, S_OK, VT_DATE, std::bit_cast<std::uint64_t>(44262.5)},
      {0x4009709, S_OK, VT_UI4, 0xFFFFFFFF},
      {0x4009702, S_OK, VT_EMPTY, 0},
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
  HRESULT result = E_FAIL;
  EXPECT_EQ(KeyAt(session.Read(0x4009996, result), 0), L"Installed");
}

TEST_F(SdkObjectsTest, CreationAndQueryFaultsHitOnlyTheirProgId) {
  Session session(ScenarioFrom(R"({"objects": {
      "Omx.License": {"create": "E_FAIL"},
      "Omx.Statistics": {"create": "S_FALSE"},
      "Omx.Configuration": {"query": "E_NOINTERFACE"}}})"));
  ComPtr<IDispatch> object;
  const auto create = [&](const wchar_t* prog_id, IDispatch* context) {
    return session.root->CreateObject(Bstr(prog_id).Get(), context, object.Put());
  };
  EXPECT_EQ(create(omx::kLicenseProgId, session.context.Get()), E_FAIL);
  EXPECT_FALSE(object);
  EXPECT_EQ(create(omx::kStatisticsProgId, session.context.Get()), S_FALSE);
  EXPECT_TRUE(object) << "a success code still hands out the object, which the caller must release";
  ASSERT_EQ(create(omx::kConfigurationProgId, session.context.Get()), S_OK);
  ComPtr<IOmxConfiguration> typed;
  EXPECT_EQ(object.As(typed), E_NOINTERFACE);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(object.As(unknown), S_OK) << "IUnknown stays available";
  EXPECT_EQ(create(L"Omx.Nothing", session.context.Get()), CO_E_CLASSSTRING);
  EXPECT_EQ(create(omx::kLicenseProgId, nullptr), E_INVALIDARG) << "only the context is made without a context";
}

TEST_F(SdkObjectsTest, RootFaultsFailCreationOrTheRootQuery) {
  auto refused = std::make_shared<SdkState>(ScenarioFrom(R"({"root": {"create": "REGDB_E_CLASSNOTREG"}})"));
  ComPtr<IUnknown> root;
  EXPECT_EQ(CreateSimulatedRoot(refused, IID_IUnknown, root.PutVoid()), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(root);
  auto no_interface = std::make_shared<SdkState>(ScenarioFrom(R"({"root": {"query": "E_NOINTERFACE"}})"));
  ASSERT_EQ(CreateSimulatedRoot(no_interface, IID_IUnknown, root.PutVoid()), S_OK);
  ComPtr<IOmxRoot> typed;
  EXPECT_EQ(root.As(typed), E_NOINTERFACE);
}

TEST_F(SdkObjectsTest, InjectedCallFailureStopsTheOperation) {
  Session session(ScenarioFrom(R"({"objects": {"Omx.Context": {"calls": {"SetProperty": "E_ACCESSDENIED"}},
                                               "Omx.VariantMap": {"calls": {"Add": "E_FAIL"}}}})"));
  EXPECT_EQ(session.context->SetProperty(Bstr(omx::kContextCommunicationProperty).Get(),
                                         Dispatch(session.Make<IDispatch>(omx::kCommunicationProgId)).Get()),
            E_ACCESSDENIED);
  auto map = session.Make<IOmxMap>(omx::kVariantMapProgId);
  EXPECT_EQ(Add(map, L"k", Variant::Int32(1)), E_FAIL);
  LONG count = -1;
  EXPECT_EQ(map->Count(&count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Add(session.Make<IOmxMap>(omx::kStringMapProgId), L"k", Variant::Int32(1)), S_OK)
      << "other ProgIDs unaffected";
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

TEST_F(SdkObjectsTest, DatastoreRecordsTheQueryWithItsWindowAndAnswersPerUser) {
  Session session(ScenarioFrom(R"({"datastore": {"urls": {"S-1-5-21-1": 3}, "countersMalware": 70000}})"));
  auto start = session.Make<IOmxDateTime>(omx::kDateTimeProgId);
  Variant year = Variant::UInt(1971);
  V_VT(year.Mutable()) = VT_UI2;
  Variant one = Variant::UInt(1);
  V_VT(one.Mutable()) = VT_UI2;
  ASSERT_EQ(start->SetDate(year.Get(), one.Get(), one.Get()), S_OK);
  auto filter = session.Make<IOmxDateTimeFilter>(omx::kDateTimeFilterProgId);
  ASSERT_EQ(filter->SetStart(Dispatch(start).Get()), S_OK);
  ASSERT_EQ(filter->SetEnd(Dispatch(session.Make<IOmxDateTime>(omx::kDateTimeProgId)).Get()), S_OK);
  auto filters = session.Make<IOmxMap>(omx::kVariantMapProgId);
  ASSERT_EQ(Add(filters, L"MyFilter", Dispatch(filter)), S_OK);
  auto query = session.Make<IOmxMap>(omx::kVariantMapProgId);
  ASSERT_EQ(Add(query, L"queryType", Variant::Text(L"urls")), S_OK);
  ASSERT_EQ(Add(query, L"user", Variant::Text(L"S-1-5-21-1")), S_OK);
  ASSERT_EQ(Add(query, L"maxResults", Variant::UInt(2147483647)), S_OK);
  ASSERT_EQ(Add(query, L"dateTimeFilters", Dispatch(filters)), S_OK);

  auto datastore = session.Make<IOmxDatastore>(omx::kDatastoreProgId);
  const auto answer = [&] {
    Variant out;
    EXPECT_EQ(datastore->ExecuteQuery(Dispatch(query).Get(), out.Put()), S_OK);
    return out;
  };
  // The size of the first user's URL collection.
  const auto url_count = [&] {
    ComPtr<IOmxResultCollection> urls;
    EXPECT_EQ(ComPtr<IDispatch>(At(At(answer(), 0), 0).Get().pdispVal).As(urls), S_OK);
    LONG size = -1;
    EXPECT_EQ(urls->Size(&size), S_OK);
    return size;
  };
  EXPECT_EQ(url_count(), 3);
  const nlohmann::ordered_json recorded = session.state->Calls().back();
  EXPECT_EQ(recorded["op"], "ExecuteQuery");
  const auto& entries = recorded["query"]["value"];
  EXPECT_EQ(entries["user"]["value"], "S-1-5-21-1");
  EXPECT_EQ(entries["maxResults"]["type"], "VT_UINT");
  const auto& window = entries["dateTimeFilters"]["value"]["MyFilter"];
  EXPECT_EQ(window["start"]["date"], "1971-01-01");
  EXPECT_EQ(window["start"]["dateTypes"][0], "VT_UI2");
  EXPECT_TRUE(window["start"]["time"].is_null()) << "a part never set shows as null";

  ASSERT_EQ(query->Set(Variant::Text(L"user").Get(), Variant::Text(L"S-1-5-21-2").Get()), S_OK);
  EXPECT_EQ(url_count(), 0) << "a user the scenario does not list has no URLs";
  ASSERT_EQ(query->Set(Variant::Text(L"queryType").Get(), Variant::Text(L"countersMalware").Get()), S_OK);
  EXPECT_EQ(Get(Get(Get(answer(), L"ALL"), L"DetectionCounters"), L"TOTAL").Raw32(), 70000u);
}

TEST_F(SdkObjectsTest, StatisticsReportHasAnEntryPerAnsweredFilterKey) {
  Session session(ScenarioFrom(R"({"statistics": {"TotalDetects": {"virus": 70000, "PUIs": 2},
                                                  "0": {"result": "E_FAIL"}}})"));
  auto statistics = session.Make<IOmxStatistics>(omx::kStatisticsProgId);
  const auto report_for = [&](const wchar_t* key, HRESULT expected) {
    auto filters = session.Make<IOmxMap>(omx::kStringMapProgId);
    EXPECT_EQ(Add(filters, key, Dispatch(session.Make<IDispatch>(omx::kDateTimeFilterProgId))), S_OK);
    ComPtr<IDispatch> report;
    EXPECT_EQ(statistics->GetStatistics(filters.Get(), report.Put()), expected);
    return report;
  };
  const Variant report = Dispatch(report_for(L"TotalDetects", S_OK));
  EXPECT_EQ(KeyAt(report, 0), L"TotalDetects");
  EXPECT_EQ(Get(At(report, 0), L"virus").Raw32(), 70000u);
  Variant missing = Variant::Int32(5);
  EXPECT_EQ(MapOf(At(report, 0))->Get(Variant::Text(L"worms").Get(), missing.Mutable()), kItemNotFound);
  EXPECT_EQ(missing.Type(), VT_EMPTY) << "a failed Get leaves the out value cleared";
  EXPECT_FALSE(report_for(L"0", E_FAIL));
}

TEST_F(SdkObjectsTest, LicenceAndTuneUpReportsAreNestedObjects) {
  Session session(ScenarioFrom(R"({
      "license": {"Products": {"P1": {"Licenses": {"AC-2": {"ClientID": 5}, "AC-1": {}}}}},
      "tuneUpReports": [{"TotalFilesSize": {"type": "VT_UI8", "value": 4294967296}}, {"TotalFilesSize": 5}]})"));
  Variant info;
  ASSERT_EQ(session.Make<IOmxLicense>(omx::kLicenseProgId)->GetLicenseInfo(Variant().Get(), info.Put()), S_OK);
  const Variant licenses = Get(At(Get(info, L"Products"), 0), L"Licenses");
  EXPECT_EQ(KeyAt(licenses, 0), L"AC-2") << "in the order of the scenario";
  EXPECT_EQ(KeyAt(licenses, 1), L"AC-1");

  ComPtr<IDispatch> reports;
  ASSERT_EQ(session.Make<IOmxTuneUpReports>(omx::kTuneUpReportsProgId)->GetReports(reports.Put()), S_OK);
  ComPtr<IOmxList> list;
  ASSERT_EQ(reports.As(list), S_OK);
  LONG count = 0;
  ASSERT_EQ(list->Count(&count), S_OK);
  ASSERT_EQ(count, 2);
  Variant report;
  ASSERT_EQ(list->ItemAt(0, report.Put()), S_OK);
  const Variant size = Get(report, L"TotalFilesSize");
  EXPECT_EQ(size.Type(), VT_UI8);
  EXPECT_EQ(size.Get().ullVal, 4294967296u);
  EXPECT_EQ(list->ItemAt(2, report.Put()), DISP_E_BADINDEX);
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
