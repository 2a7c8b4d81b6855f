// What the collector's tests cannot see fail in the SDK stand-in: a reference
// counted wrongly (which would hide a leak of the program) or a call outside
// the program's contract let through. The value forms a scenario gives show in
// every end-to-end run of the default scenario; its documented examples and
// typos, in the scenario tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sdk/omx_sdk.h"
#include "common/scratch_folder.h"
#include "sdk/sdk_contract.h"
#include "sdk/sdk_objects.h"
#include "sdk/sdk_state.h"
#include "support/com.h"

namespace qm::sim {
namespace {

SdkScenario ScenarioFrom(const char* sdk_json) {
  return ParseSdkScenario(nlohmann::ordered_json::parse(sdk_json));
}

// CreateObject and the query for T; empty when either fails.
template <typename T>
ComPtr<T> Make(const ComPtr<IOmxRoot>& root, const wchar_t* prog_id, IDispatch* context) {
  ComPtr<IDispatch> object;
  if (root->CreateObject(Bstr(prog_id).Get(), context, object.Put()) != S_OK) return {};
  ComPtr<T> typed;
  if (object.As(typed) != S_OK) return {};
  return typed;
}

// The root and the context every other object is made in.
struct Session {
  explicit Session(SdkScenario scenario)
      : state(std::make_shared<SdkState>(std::move(scenario), SdkFiles{})) {
    EXPECT_EQ(CreateSimulatedRoot(state, __uuidof(IOmxRoot), root.PutVoid()), S_OK);
    context = sim::Make<IOmxContext>(root, omx::kContextProgId, nullptr);
  }
  template <typename T>
  ComPtr<T> Make(const wchar_t* prog_id) {
    return sim::Make<T>(root, prog_id, context.Get());
  }

  std::shared_ptr<SdkState> state;
  ComPtr<IOmxRoot> root;
  ComPtr<IOmxContext> context;
};

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

// A context that kept no reference of its own shows in every collector test;
// a value left held when replaced (the program's own Variant move), only here.
TEST_F(SdkObjectsTest, ObjectsHeldInValuesAreCountedAndReleased) {
  Session session(ScenarioFrom("{}"));
  auto map = session.Make<IOmxMap>(omx::kStringMapProgId);
  auto filter = session.Make<IDispatch>(omx::kDateTimeFilterProgId);
  for (int twice = 0; twice < 2; ++twice) {
    ASSERT_EQ(map->Set(Variant::Text(L"0").Get(), Dispatch(filter).Get()), S_OK);
  }
  EXPECT_EQ(References(filter.Get()), 2u) << "replacing an entry releases the value it held";
  map.Reset();
  EXPECT_EQ(References(filter.Get()), 1u) << "a released map releases its values";
}

using Json = nlohmann::ordered_json;

Json Text(const char* text) { return {{"type", "VT_BSTR"}, {"value", text}}; }

Json Moment(const char* date, const char* time, const char* type) {
  return {{"type", "VT_DISPATCH"}, {"progId", "Omx.DateTimeObject"},
          {"date", date},          {"dateTypes", {type, type, type}},
          {"time", time},          {"timeTypes", {type, type, type}}};
}

Json Window(Json start, Json end) {
  return {{"type", "VT_DISPATCH"},
          {"progId", "Omx.DateTimeFilterObject"},
          {"start", start},
          {"end", end}};
}

Json Map(const char* prog_id, Json entries) {
  return {{"type", "VT_DISPATCH"}, {"progId", prog_id}, {"value", entries}};
}

// A user's URL query as the program builds it.
Json UrlQuery() {
  const Json window = Window(Moment("1971-01-01", "00:00:00", "VT_UI2"),
                             Moment("2026-12-07", "04:30:00", "VT_UI2"));
  return {{"op", "ExecuteQuery"},
          {"progId", "Omx.Datastore"},
          {"query", Map("Omx.VariantMap",
                        {{"queryType", Text("urls")},
                         {"user", Text("S-1-5-21-0-0-0-1000")},
                         {"maxResults", {{"type", "VT_UINT"}, {"value", 2147483647}}},
                         {"orderBy", Text("DATE")},
                         {"countersType", Text("total")},
                         {"dateTimeFilters", Map("Omx.VariantMap", {{"MyFilter", window}})}})}};
}

// Each row changes one thing the program's calls fix; the stand-in must see it.
TEST(SdkContract, RefusesWhatTheProgramsCallsNeverHold) {
  const Json urls = UrlQuery();
  const auto changed = [&](const char* pointer, Json value) {
    Json call = urls;
    call[Json::json_pointer(pointer)] = std::move(value);
    return call;
  };
  Json lower_t = urls;
  lower_t["query"]["value"].erase("countersType");
  lower_t["query"]["value"]["counterstype"] = Text("total");
  Json unfinished = urls;
  unfinished["query"]["value"].erase("orderBy");
  const char* kFilter = "/query/value/dateTimeFilters/value/MyFilter";
  const struct {
    const char* course;
    Json call;
    bool refused_before;
    bool kept;
  } rows[] = {
      {"a user's URL query", urls, false, true},
      {"\"counterstype\" in the URL query", lower_t, false, false},
      {"\"maxResults\" as VT_I4", changed("/query/value/maxResults/type", "VT_I4"), false, false},
      {"the window's start a year late",
       changed((std::string(kFilter) + "/start/date").c_str(), "1972-01-01"), false, false},
      {"the window's end as VT_I4",
       changed((std::string(kFilter) + "/end").c_str(), Moment("2026-12-07", "04:30:00", "VT_I4")),
       false, false},
      {"no window", changed(kFilter, {{"type", "VT_DISPATCH"}, {"value", nullptr}}), false, false},
      {"no window after the SDK refused one",
       changed(kFilter, {{"type", "VT_DISPATCH"}, {"value", nullptr}}), true, true},
      {"an entry missing", unfinished, false, false},
      {"an entry missing after a refusal", unfinished, true, true},
      {"an item never read", {{"op", "GetValue"}, {"item", "0x4009999"}}, false, false},
      {"scope 1", {{"op", "GetValue"}, {"scope", 1}, {"item", "0x4009701"}}, false, false},
      {"the hash as VT_I4",
       {{"op", "SetValue"}, {"item", "0x4009501"}, {"value", {{"type", "VT_I4"}}}},
       false,
       false},
      {"a context made in a context",
       {{"op", "CreateObject"}, {"progId", "Omx.Context"}, {"context", true}},
       false,
       false},
      {"a map made without the context",
       {{"op", "CreateObject"}, {"progId", "Omx.StringMap"}, {"context", false}},
       false,
       false},
      {"licence information for a query",
       {{"op", "GetLicenseInfo"}, {"query", Text("x")}},
       false,
       false},
  };
  for (const auto& row : rows) {
    const std::string violation = ContractViolation(row.call, row.refused_before);
    EXPECT_EQ(violation.empty(), row.kept) << row.course << ": " << violation;
  }
}

TEST_F(SdkObjectsTest, RefusedCallAnswersInvalidArgumentAndIsLogged) {
  Session session(ScenarioFrom(R"({"config": {"0x4009999": 1}})"));
  auto configuration = session.Make<IOmxConfiguration>(omx::kConfigurationProgId);
  Variant value;
  EXPECT_EQ(configuration->GetValue(omx::kDefaultScope, 0x4009999, value.Put()), E_INVALIDARG);
  EXPECT_EQ(session.state->Violations(),
            std::vector<std::string>{"GetValue: item 0x4009999 is never read"});
}

}  // namespace
}  // namespace qm::sim
