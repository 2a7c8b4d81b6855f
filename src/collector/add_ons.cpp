#include "collector/add_ons.h"

#include <array>
#include <cstdint>

#include "collector/add_on_probes.h"
#include "sdk/configuration_item.h"
#include "collector/mobile_feature.h"
#include "sdk/sdk_map.h"
#include "diagnostics/trace.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

constexpr LONG kProtectionItem = 0x400902B;      // bit 0x1, AVState 1
constexpr LONG kFullProtectionItem = 0x4009068;  // AVState 2
constexpr LONG kAddOnsReadyItem = 0x4023004;
constexpr LONG kAddOnMapItem = 0x4023002;

constexpr std::uint32_t kProtectionBit = 0x1;
constexpr std::uint32_t kMobileBit = 0x800;
constexpr std::uint32_t kAddOnMapBit = 0x10000;
constexpr std::uint32_t kToolbarBit = 0x20000;
constexpr std::uint32_t kVpnTypeOneBit = 0x40000;
constexpr std::uint32_t kVpnTypeTwoBit = 0x80000;

// One item of the agent's configuration that sets one bit when true.
struct AddOnItem {
  LONG item;
  std::uint32_t bit;
  void (*failed)(LONG item, HRESULT result);
  void (*set)();
};

constexpr std::array<AddOnItem, 10> kAddOnItems = {{
    {0x401C007, 0x2,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 46, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 47, Error, Collector); }},
    {0x4016001, 0x4,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 48, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 49, Error, Collector); }},
    {0x401F00B, 0x8,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 50, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 51, Error, Collector); }},
    {0x4024001, 0x10,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 52, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 53, Error, Collector); }},
    {0x4025009, 0x20,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 54, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 55, Error, Collector); }},
    {0x401F004, 0x40,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 56, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 57, Error, Collector); }},
    {0x4017005, 0x80,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 58, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 59, Error, Collector); }},
    {0x401F005, 0x100,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 60, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 61, Error, Collector); }},
    {0x4023001, 0x200,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 62, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 63, Error, Collector); }},
    {0x4009952, 0x400,
     [](LONG i, HRESULT r) {
       QM_TRACE(Collector, 64, Error, Collector, trace::Int(i), trace::Int(r));
     },
     [] { QM_TRACE(Collector, 65, Error, Collector); }},
}};

// Reads `item` as a COM boolean from a value that starts as false. A value
// that cannot be converted counts as not read: its conversion error is the
// result, and the bit stays clear.
HRESULT ReadItemSwitch(SdkSession& session, LONG item, bool& on) {
  Variant value = Variant::Bool(false);
  return ReadConfigurationItem(session.Configuration(), item, value,
                               [&](const Variant& read) { on = read.ToBool(); });
}

void ReadProtectionState(SdkSession& session, CProfileData& profile, std::uint32_t& mask) {
  bool on = false;
  HRESULT result = ReadItemSwitch(session, kProtectionItem, on);
  if (result != S_OK) {
    QM_TRACE(Collector, 40, Error, Collector, trace::Int(kProtectionItem), trace::Int(result));
  } else if (on) {
    QM_TRACE(Collector, 41, Error, Collector);
    mask |= kProtectionBit;
    profile.SetAVState(1);
    QM_TRACE(Collector, 42, Error, Collector);
  } else {
    QM_TRACE(Collector, 43, Error, Collector);
    profile.SetAVState(0);
  }

  on = false;
  result = ReadItemSwitch(session, kFullProtectionItem, on);
  if (result != S_OK) {
    QM_TRACE(Collector, 44, Error, Collector, trace::Int(kFullProtectionItem), trace::Int(result));
  } else if (on) {
    profile.SetAVState(2);
    QM_TRACE(Collector, 45, Error, Collector);
  }
}

void ReadAddOnItems(SdkSession& session, std::uint32_t& mask) {
  for (const AddOnItem& entry : kAddOnItems) {
    bool on = false;
    const HRESULT result = ReadItemSwitch(session, entry.item, on);
    if (result != S_OK) {
      entry.failed(entry.item, result);
    } else if (on) {
      mask |= entry.bit;
      entry.set();
    }
  }
}

// An entry that cannot be taken as a boolean is not true; the walk goes on.
bool IsTrueEntry(const Variant& value) {
  try {
    return value.ToBool();
  } catch (const ComError&) {
    return false;
  }
}

// True when an entry of the item's map is true; the walk stops at the first.
bool HasTrueAddOnMapEntry(SdkSession& session) {
  Variant value;
  if (FAILED(session.Configuration()->GetValue(omx::kDefaultScope, kAddOnMapItem, value.Put()))) {
    return false;
  }
  ComPtr<IOmxMap> map;
  if (MapOf(value, map) != S_OK) return false;
  LONG count = 0;
  if (FAILED(map->Count(&count))) return false;
  for (LONG index = 0; index < count; ++index) {
    Variant entry;
    (void)map->ValueAt(index, entry.Put());
    if (IsTrueEntry(entry)) return true;
  }
  return false;
}

void ReadVpnBits(std::uint32_t& mask) {
  std::uint32_t type = 0;
  ReadVpnVersionType(type);
  if (type == 1) {
    mask |= kVpnTypeOneBit;
    QM_TRACE(Collector, 71, Error, Collector);
  } else if (type == 2) {
    mask |= kVpnTypeTwoBit;
    QM_TRACE(Collector, 72, Error, Collector);
  }
}

}  // namespace

bool CollectInstalledAddOns(SdkSession& session, const SettingsLibraryLoader& settings_library,
                            CProfileData& profile) {
  std::uint32_t mask = 0;
  ReadProtectionState(session, profile, mask);
  ReadAddOnItems(session, mask);
  ProbeLockboxTools(mask);
  if (IsSweeperInstalled()) {
    mask |= kSweeperBit;
    QM_TRACE(Collector, 66, Error, Collector);
  }
  if (IsMobileFeatureEnabled(settings_library)) {
    mask |= kMobileBit;
    QM_TRACE(Collector, 67, Error, Collector);
  }

  // Without this item the agent's add-on state is not settled: keep no mask.
  Variant ready;
  const HRESULT result =
      session.Configuration()->GetValue(omx::kDefaultScope, kAddOnsReadyItem, ready.Put());
  if (FAILED(result)) {
    QM_TRACE(Collector, 69, Error, Collector, trace::Int(kAddOnsReadyItem), trace::Int(result));
    return false;
  }

  if (HasTrueAddOnMapEntry(session)) {
    mask |= kAddOnMapBit;
    QM_TRACE(Collector, 68, Error, Collector);
  }
  if (IsToolbarInstalled()) {
    mask |= kToolbarBit;
    QM_TRACE(Collector, 70, Error, Collector);
  }
  ReadVpnBits(mask);

  profile.SetDefaultModuleStatus(mask);
  QM_TRACE(Collector, 73, Error, Collector, trace::Int(mask));
  return true;
}

}  // namespace qm
