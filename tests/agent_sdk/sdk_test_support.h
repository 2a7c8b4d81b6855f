#pragma once

// Shortcuts for driving the in-process SDK stand-in the way the program does.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "collector/omx_sdk.h"
#include "sdk/sdk_objects.h"
#include "sdk/sdk_state.h"
#include "support/com.h"

namespace qm::sim::testing {

inline ComPtr<IOmxRoot> MakeRoot(const std::shared_ptr<SdkState>& state) {
  ComPtr<IOmxRoot> root;
  EXPECT_EQ(CreateSimulatedRoot(state, __uuidof(IOmxRoot), root.PutVoid()), S_OK);
  return root;
}

// CreateObject and the query for T; empty when either fails.
template <typename T>
ComPtr<T> Make(const ComPtr<IOmxRoot>& root, const wchar_t* prog_id, IDispatch* context) {
  ComPtr<IDispatch> object;
  const Bstr name(prog_id);
  if (root->CreateObject(name.Get(), context, object.Put()) != S_OK) return {};
  ComPtr<T> typed;
  if (object.As(typed) != S_OK) return {};
  return typed;
}

// The root and the context every other object is made in.
struct Session {
  explicit Session(SdkScenario scenario, SdkFiles files = {})
      : state(std::make_shared<SdkState>(std::move(scenario), std::move(files))), root(MakeRoot(state)) {
    context = testing::Make<IOmxContext>(root, omx::kContextProgId, nullptr);
  }
  template <typename T>
  ComPtr<T> Make(const wchar_t* prog_id) {
    return testing::Make<T>(root, prog_id, context.Get());
  }

  std::shared_ptr<SdkState> state;
  ComPtr<IOmxRoot> root;
  ComPtr<IOmxContext> context;
};

// A scenario that configures nothing.
inline SdkScenario EmptyScenario() { return ParseSdkScenario(nlohmann::ordered_json::object()); }

inline Variant TextVariant(const wchar_t* text) { return Variant::Text(text); }

}  // namespace qm::sim::testing
