#pragma once

// The SDK stand-in's COM objects. Everything the program can reach starts at
// the root made here; every object answers from the one SdkState it shares.

#include <windows.h>

#include <memory>

#include "sdk/omx_sdk.h"
#include "sdk/sdk_state.h"

namespace qm::sim {

// Makes the SDK's root object and queries it for `iid`. The scenario's root
// faults apply: "create" fails the creation itself, "query" the IOmxRoot query.
[[nodiscard]] HRESULT CreateSimulatedRoot(std::shared_ptr<SdkState> state, REFIID iid,
                                          void** object) noexcept;

// How many SDK objects are alive in this process (all states together).
[[nodiscard]] long LiveSdkObjects() noexcept;

}  // namespace qm::sim
