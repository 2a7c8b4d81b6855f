// What the collector's tests cannot see fail in the SDK stand-in: a reference
// counted wrongly (which would hide a leak of the program), a scenario typo
// ignored or a documented example that no longer parses. The value forms a
// scenario gives show in every end-to-end run of the default scenario.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sdk/omx_sdk.h"
#include "common/scratch_folder.h"
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

TEST_F(SdkObjectsTest, ObjectsHeldInValuesAreCountedAndReleased) {
  Session session(ScenarioFrom("{}"));
  auto communication = session.Make<IDispatch>(omx::kCommunicationProgId);
  EXPECT_EQ(References(communication.Get()), 1u) << "the creator holds the only reference";
  ASSERT_EQ(session.context->SetProperty(Bstr(omx::kContextCommunicationProperty).Get(),
                                         Dispatch(communication).Get()),
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

// The example a tester copies from the documentation must stay valid.
TEST(SdkScenarioParsing, DocumentedExampleParses) {
  const std::string doc = testing::ReadFileText(QM_SDK_DOC_PATH);
  const size_t start = doc.find("```json\n");
  ASSERT_NE(start, std::string::npos) << QM_SDK_DOC_PATH;
  const size_t end = doc.find("```", start + 8);
  const auto scenario =
      nlohmann::ordered_json::parse("{" + doc.substr(start + 8, end - start - 8) + "}");
  const SdkScenario parsed = ParseSdkScenario(scenario["sdk"]);
  EXPECT_EQ(parsed.config.at(0x4009015).value.text, L"18.07.02.1234");
  EXPECT_EQ(parsed.urls.count(L"S-1-5-21-0-0-0-1000"), 1u);
}

// A typo in a scenario must stop it, or a test would silently run another course.
TEST(SdkScenarioParsing, UnknownFieldIsRefused) {
  EXPECT_THROW((void)ScenarioFrom(R"({"confg": {}})"), ScenarioError);
}

}  // namespace
}  // namespace qm::sim
