#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "sdk_test_support.h"

namespace qm::sim {
namespace {

using testing::Make;
using testing::Session;

SdkScenario ScenarioFrom(const char* sdk_json) {
  return ParseSdkScenario(nlohmann::ordered_json::parse(sdk_json));
}

Variant ReadItem(Session& session, LONG item, HRESULT& result) {
  auto configuration = session.Make<IOmxConfiguration>(omx::kConfigurationProgId);
  Variant value = Variant::UInt(0);  // the program's readers start from VT_UINT 0
  result = configuration->GetValue(omx::kDefaultScope, item, value.Mutable());
  return value;
}

std::wstring KeyAt(IOmxMap* map, LONG index) {
  Variant key;
  EXPECT_EQ(map->KeyAt(index, key.Put()), S_OK);
  return key.ToText();
}

ComPtr<IOmxMap> MapOf(const Variant& value) {
  ComPtr<IOmxMap> map;
  EXPECT_EQ(value.Type(), VT_DISPATCH);
  if (value.Type() == VT_DISPATCH) {
    EXPECT_EQ(ComPtr<IDispatch>(value.Get().pdispVal).As(map), S_OK);
  }
  return map;
}

class SdkObjectsTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(LiveSdkObjects(), live_before_) << "an SDK object leaked"; }
  const long live_before_ = LiveSdkObjects();
};

TEST_F(SdkObjectsTest, ConfigurationItemsArriveWithTheConfiguredTypeAndPayload) {
  Session session(ScenarioFrom(R"({"config": {
      "0x4009701": "MUID-1",
      "0x4009703": {"type": "VT_UI2", "value": 65535},
      "0x4009704": {"type": "VT_INT", "value": -3},
      "0x4009705": {"type": "VT_UINT", "value": 9},
      "0x4009706": {"type": "VT_UI8", "value": 4294967301},
      "0x4009707": {"type": "VT_BOOL", "value": 1},
      "0x4009702": {"type": "VT_EMPTY"},
      "0x4009708": {"type": "VT_DATE", "value": "2021-03-07T12:00:00"}}})"));
  HRESULT result = E_FAIL;
  const Variant muid = ReadItem(session, 0x4009701, result);
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(muid.Type(), VT_BSTR);
  EXPECT_EQ(muid.ToText(), L"MUID-1");

  EXPECT_EQ(ReadItem(session, 0x4009703, result).Type(), VT_UI2);
  EXPECT_EQ(ReadItem(session, 0x4009703, result).Get().uiVal, 65535);
  EXPECT_EQ(ReadItem(session, 0x4009704, result).Type(), VT_INT);
  EXPECT_EQ(ReadItem(session, 0x4009704, result).Get().intVal, -3);
  EXPECT_EQ(ReadItem(session, 0x4009705, result).Type(), VT_UINT);
  const Variant large = ReadItem(session, 0x4009706, result);
  EXPECT_EQ(large.Type(), VT_UI8);
  EXPECT_EQ(large.Get().ullVal, 4294967301u);
  const Variant raw_bool = ReadItem(session, 0x4009707, result);
  EXPECT_EQ(raw_bool.Type(), VT_BOOL);
  EXPECT_EQ(raw_bool.Get().boolVal, 1) << "a VT_BOOL that is neither VARIANT_TRUE nor VARIANT_FALSE";
  EXPECT_EQ(ReadItem(session, 0x4009702, result).Type(), VT_EMPTY);
  EXPECT_EQ(result, S_OK);
  const Variant date = ReadItem(session, 0x4009708, result);
  EXPECT_EQ(date.Type(), VT_DATE);
  EXPECT_DOUBLE_EQ(date.Get().date, 44262.5);
}

TEST_F(SdkObjectsTest, FailingAndNonZeroSuccessCodesComeBackAsConfigured) {
  Session session(ScenarioFrom(R"({"config": {
      "0x4009015": {"result": "0x80004005"},
      "0x4009019": {"result": "S_FALSE", "value": "es-ES"}}})"));
  HRESULT result = S_OK;
  const Variant failed = ReadItem(session, 0x4009015, result);
  EXPECT_EQ(result, E_FAIL);
  EXPECT_EQ(failed.Type(), VT_EMPTY) << "the reader's VT_UINT is cleared";
  const Variant odd = ReadItem(session, 0x4009019, result);
  EXPECT_EQ(result, S_FALSE);
  EXPECT_EQ(odd.ToText(), L"es-ES");
  EXPECT_EQ(ReadItem(session, 0x4009999, result).Type(), VT_EMPTY);
  EXPECT_EQ(result, kItemNotFound);
}

TEST_F(SdkObjectsTest, CreationAndQueryFaultsHitOnlyTheirProgId) {
  Session session(ScenarioFrom(R"({"objects": {
      "Omx.License": {"create": "E_FAIL"},
      "Omx.Statistics": {"create": "S_FALSE"},
      "Omx.Configuration": {"query": "E_NOINTERFACE"}}})"));
  ComPtr<IDispatch> object;
  const Bstr license(omx::kLicenseProgId);
  EXPECT_EQ(session.root->CreateObject(license.Get(), session.context.Get(), object.Put()), E_FAIL);
  EXPECT_FALSE(object);

  const Bstr statistics(omx::kStatisticsProgId);
  EXPECT_EQ(session.root->CreateObject(statistics.Get(), session.context.Get(), object.Put()), S_FALSE);
  EXPECT_TRUE(object) << "a success code still hands out the object, which the caller must release";

  const Bstr configuration(omx::kConfigurationProgId);
  ASSERT_EQ(session.root->CreateObject(configuration.Get(), session.context.Get(), object.Put()), S_OK);
  ComPtr<IOmxConfiguration> typed;
  EXPECT_EQ(object.As(typed), E_NOINTERFACE);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(object.As(unknown), S_OK) << "IUnknown stays available";

  const Bstr unknown_prog_id(L"Omx.Nothing");
  EXPECT_EQ(session.root->CreateObject(unknown_prog_id.Get(), session.context.Get(), object.Put()),
            CO_E_CLASSSTRING);
  EXPECT_EQ(session.root->CreateObject(license.Get(), nullptr, object.Put()), E_INVALIDARG)
      << "only the context is made without a context";
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
  auto communication = session.Make<IDispatch>(omx::kCommunicationProgId);
  const Bstr name(omx::kContextCommunicationProperty);
  EXPECT_EQ(session.context->SetProperty(name.Get(), Variant::Dispatch(communication.Get()).Get()),
            E_ACCESSDENIED);
  auto map = session.Make<IOmxMap>(omx::kVariantMapProgId);
  EXPECT_EQ(map->Add(Variant::Text(L"k").Get(), Variant::Int32(1).Get()), E_FAIL);
  LONG count = -1;
  EXPECT_EQ(map->Count(&count), S_OK);
  EXPECT_EQ(count, 0);
  auto string_map = session.Make<IOmxMap>(omx::kStringMapProgId);
  EXPECT_EQ(string_map->Add(Variant::Text(L"k").Get(), Variant::Int32(1).Get()), S_OK)
      << "other ProgIDs unaffected";
}

TEST_F(SdkObjectsTest, ObjectsHeldInValuesAreCountedAndReleased) {
  Session session(testing::EmptyScenario());
  auto communication = session.Make<IDispatch>(omx::kCommunicationProgId);
  communication->AddRef();
  EXPECT_EQ(communication->Release(), 1u) << "the creator holds the only reference";

  const Bstr name(omx::kContextCommunicationProperty);
  ASSERT_EQ(session.context->SetProperty(name.Get(), Variant::Dispatch(communication.Get()).Get()), S_OK);
  communication->AddRef();
  EXPECT_EQ(communication->Release(), 2u) << "the context keeps the communication object";

  auto map = session.Make<IOmxMap>(omx::kStringMapProgId);
  auto filter = session.Make<IDispatch>(omx::kDateTimeFilterProgId);
  ASSERT_EQ(map->Set(Variant::Text(L"0").Get(), Variant::Dispatch(filter.Get()).Get()), S_OK);
  ASSERT_EQ(map->Set(Variant::Text(L"0").Get(), Variant::Dispatch(filter.Get()).Get()), S_OK);
  filter->AddRef();
  EXPECT_EQ(filter->Release(), 2u) << "replacing an entry releases the value it held";
  map.Reset();
  filter->AddRef();
  EXPECT_EQ(filter->Release(), 1u) << "a released map releases its values";
}

TEST_F(SdkObjectsTest, DatastoreRecordsTheQueryWithItsWindowAndAnswersPerUser) {
  Session session(ScenarioFrom(R"({"datastore": {"urls": {"S-1-5-21-1": 3}, "countersMalware": 70000}})"));
  auto now = session.Make<IOmxDateTime>(omx::kDateTimeProgId);
  auto start = session.Make<IOmxDateTime>(omx::kDateTimeProgId);
  auto filter = session.Make<IOmxDateTimeFilter>(omx::kDateTimeFilterProgId);
  Variant year;
  V_VT(year.Mutable()) = VT_UI2;
  year.Mutable()->uiVal = 1971;
  Variant one;
  V_VT(one.Mutable()) = VT_UI2;
  one.Mutable()->uiVal = 1;
  ASSERT_EQ(start->SetDate(year.Get(), one.Get(), one.Get()), S_OK);
  ASSERT_EQ(filter->SetStart(Variant::Dispatch(start.Get()).Get()), S_OK);
  ASSERT_EQ(filter->SetEnd(Variant::Dispatch(now.Get()).Get()), S_OK);
  auto filters = session.Make<IOmxMap>(omx::kVariantMapProgId);
  ASSERT_EQ(filters->Add(Variant::Text(L"MyFilter").Get(), Variant::Dispatch(filter.Get()).Get()), S_OK);
  auto query = session.Make<IOmxMap>(omx::kVariantMapProgId);
  ASSERT_EQ(query->Add(Variant::Text(L"queryType").Get(), Variant::Text(L"urls").Get()), S_OK);
  ASSERT_EQ(query->Add(Variant::Text(L"user").Get(), Variant::Text(L"S-1-5-21-1").Get()), S_OK);
  ASSERT_EQ(query->Add(Variant::Text(L"maxResults").Get(), Variant::UInt(2147483647).Get()), S_OK);
  ASSERT_EQ(query->Add(Variant::Text(L"dateTimeFilters").Get(), Variant::Dispatch(filters.Get()).Get()),
            S_OK);

  auto datastore = session.Make<IOmxDatastore>(omx::kDatastoreProgId);
  Variant answer;
  ASSERT_EQ(datastore->ExecuteQuery(Variant::Dispatch(query.Get()).Get(), answer.Put()), S_OK);
  Variant per_user;
  ASSERT_EQ(MapOf(answer)->ValueAt(0, per_user.Put()), S_OK);
  Variant collection;
  ASSERT_EQ(MapOf(per_user)->ValueAt(0, collection.Put()), S_OK);
  ComPtr<IOmxResultCollection> urls;
  ASSERT_EQ(ComPtr<IDispatch>(collection.Get().pdispVal).As(urls), S_OK);
  LONG size = 0;
  EXPECT_EQ(urls->Size(&size), S_OK);
  EXPECT_EQ(size, 3);

  const nlohmann::ordered_json recorded = session.state->Calls().back();
  EXPECT_EQ(recorded["op"], "ExecuteQuery");
  const auto& entries = recorded["query"]["value"];
  EXPECT_EQ(entries["user"]["value"], "S-1-5-21-1");
  EXPECT_EQ(entries["maxResults"]["type"], "VT_UINT");
  const auto& window = entries["dateTimeFilters"]["value"]["MyFilter"];
  EXPECT_EQ(window["start"]["date"], "1971-01-01");
  EXPECT_EQ(window["start"]["dateTypes"][0], "VT_UI2");
  EXPECT_TRUE(window["start"]["time"].is_null()) << "a part never set shows as null";

  // A user the scenario does not list has no URLs; the counters query walks ALL/DetectionCounters/TOTAL.
  ASSERT_EQ(query->Set(Variant::Text(L"user").Get(), Variant::Text(L"S-1-5-21-2").Get()), S_OK);
  ASSERT_EQ(datastore->ExecuteQuery(Variant::Dispatch(query.Get()).Get(), answer.Put()), S_OK);
  ASSERT_EQ(MapOf(answer)->ValueAt(0, per_user.Put()), S_OK);
  ASSERT_EQ(MapOf(per_user)->ValueAt(0, collection.Put()), S_OK);
  ASSERT_EQ(ComPtr<IDispatch>(collection.Get().pdispVal).As(urls), S_OK);
  EXPECT_EQ(urls->Size(&size), S_OK);
  EXPECT_EQ(size, 0);

  ASSERT_EQ(query->Set(Variant::Text(L"queryType").Get(), Variant::Text(L"countersMalware").Get()), S_OK);
  ASSERT_EQ(datastore->ExecuteQuery(Variant::Dispatch(query.Get()).Get(), answer.Put()), S_OK);
  Variant level;
  ASSERT_EQ(MapOf(answer)->Get(Variant::Text(L"ALL").Get(), level.Put()), S_OK);
  ASSERT_EQ(MapOf(level)->Get(Variant::Text(L"DetectionCounters").Get(), level.Put()), S_OK);
  ASSERT_EQ(MapOf(level)->Get(Variant::Text(L"TOTAL").Get(), level.Put()), S_OK);
  EXPECT_EQ(level.Raw32(), 70000u);
}

TEST_F(SdkObjectsTest, StatisticsReportHasAnEntryPerAnsweredFilterKey) {
  Session session(ScenarioFrom(R"({"statistics": {"TotalDetects": {"virus": 70000, "PUIs": 2},
                                                  "0": {"result": "E_FAIL"}}})"));
  auto statistics = session.Make<IOmxStatistics>(omx::kStatisticsProgId);
  auto filters = session.Make<IOmxMap>(omx::kStringMapProgId);
  auto filter = session.Make<IDispatch>(omx::kDateTimeFilterProgId);
  ASSERT_EQ(filters->Add(Variant::Text(L"TotalDetects").Get(), Variant::Dispatch(filter.Get()).Get()), S_OK);
  ComPtr<IDispatch> report;
  ASSERT_EQ(statistics->GetStatistics(filters.Get(), report.Put()), S_OK);
  ComPtr<IOmxMap> report_map;
  ASSERT_EQ(report.As(report_map), S_OK);
  EXPECT_EQ(KeyAt(report_map.Get(), 0), L"TotalDetects");
  Variant categories;
  ASSERT_EQ(report_map->ValueAt(0, categories.Put()), S_OK);
  Variant virus;
  ASSERT_EQ(MapOf(categories)->Get(Variant::Text(L"virus").Get(), virus.Put()), S_OK);
  EXPECT_EQ(virus.Raw32(), 70000u);
  Variant missing = Variant::Int32(5);
  EXPECT_EQ(MapOf(categories)->Get(Variant::Text(L"worms").Get(), missing.Mutable()), kItemNotFound);
  EXPECT_EQ(missing.Type(), VT_EMPTY) << "a failed Get leaves the out value cleared";

  auto blocked = session.Make<IOmxMap>(omx::kStringMapProgId);
  ASSERT_EQ(blocked->Set(Variant::Text(L"0").Get(), Variant::Dispatch(filter.Get()).Get()), S_OK);
  EXPECT_EQ(statistics->GetStatistics(blocked.Get(), report.Put()), E_FAIL);
  EXPECT_FALSE(report);
}

TEST_F(SdkObjectsTest, LicenceAndTuneUpReportsAreNestedObjects) {
  Session session(ScenarioFrom(R"({
      "license": {"Products": {"P1": {"Licenses": {"AC-2": {"ClientID": 5}, "AC-1": {}}}}},
      "tuneUpReports": [{"TotalFilesSize": {"type": "VT_UI8", "value": 4294967296}}, {"TotalFilesSize": 5}]})"));
  auto license = session.Make<IOmxLicense>(omx::kLicenseProgId);
  Variant info;
  ASSERT_EQ(license->GetLicenseInfo(Variant().Get(), info.Put()), S_OK);
  Variant products;
  ASSERT_EQ(MapOf(info)->Get(Variant::Text(L"Products").Get(), products.Put()), S_OK);
  Variant product;
  ASSERT_EQ(MapOf(products)->ValueAt(0, product.Put()), S_OK);
  Variant licenses;
  ASSERT_EQ(MapOf(product)->Get(Variant::Text(L"Licenses").Get(), licenses.Put()), S_OK);
  EXPECT_EQ(KeyAt(MapOf(licenses).Get(), 0), L"AC-2");
  EXPECT_EQ(KeyAt(MapOf(licenses).Get(), 1), L"AC-1");

  auto reports = session.Make<IOmxTuneUpReports>(omx::kTuneUpReportsProgId);
  ComPtr<IDispatch> list_object;
  ASSERT_EQ(reports->GetReports(list_object.Put()), S_OK);
  ComPtr<IOmxList> list;
  ASSERT_EQ(list_object.As(list), S_OK);
  LONG count = 0;
  ASSERT_EQ(list->Count(&count), S_OK);
  ASSERT_EQ(count, 2);
  Variant report;
  ASSERT_EQ(list->ItemAt(0, report.Put()), S_OK);
  Variant size;
  ASSERT_EQ(MapOf(report)->Get(Variant::Text(L"TotalFilesSize").Get(), size.Put()), S_OK);
  EXPECT_EQ(size.Type(), VT_UI8);
  EXPECT_EQ(size.Get().ullVal, 4294967296u);
  EXPECT_EQ(list->ItemAt(2, report.Put()), DISP_E_BADINDEX);
}

TEST_F(SdkObjectsTest, DateTimePartsMustBeNumbers) {
  Session session(testing::EmptyScenario());
  auto date = session.Make<IOmxDateTime>(omx::kDateTimeProgId);
  EXPECT_EQ(date->SetDate(Variant::Text(L"x").Get(), Variant::Int32(1).Get(), Variant::Int32(1).Get()),
            DISP_E_TYPEMISMATCH);
  auto filter = session.Make<IOmxDateTimeFilter>(omx::kDateTimeFilterProgId);
  EXPECT_EQ(filter->SetStart(Variant::Int32(1).Get()), E_INVALIDARG) << "the window takes date-time objects";
}

}  // namespace
}  // namespace qm::sim
