#pragma once

// Shortcuts for driving the in-process SDK stand-in the way the program does.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "collector/omx_sdk.h"
#include "sdk/sdk_objects.h"
#include "sdk/sdk_state.h"
#include "support/com.h"

namespace qm::sim::testing {

inline SdkScenario ScenarioFrom(const char* sdk_json) {
  return ParseSdkScenario(nlohmann::ordered_json::parse(sdk_json));
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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
  explicit Session(SdkScenario scenario, SdkFiles files = {})
      : state(std::make_shared<SdkState>(std::move(scenario), std::move(files))) {
    EXPECT_EQ(CreateSimulatedRoot(state, __uuidof(IOmxRoot), root.PutVoid()), S_OK);
    context = testing::Make<IOmxContext>(root, omx::kContextProgId, nullptr);
  }
  template <typename T>
  ComPtr<T> Make(const wchar_t* prog_id) {
    return testing::Make<T>(root, prog_id, context.Get());
  }
  // GetValue as the program's readers call it: into a VT_UINT 0.
  Variant Read(LONG item, HRESULT& result) {
    Variant value = Variant::UInt(0);
    result = Make<IOmxConfiguration>(omx::kConfigurationProgId)->GetValue(omx::kDefaultScope, item, value.Mutable());
    return value;
  }

  std::shared_ptr<SdkState> state;
  ComPtr<IOmxRoot> root;
  ComPtr<IOmxContext> context;
};

}  // namespace qm::sim::testing
