#include "collector/identity.h"

#include <array>
#include <string>

#include "sdk/configuration_item.h"
#include "collector/suite_version.h"
#include "diagnostics/trace.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

constexpr LONG kMuidItem = 0x4009701;
constexpr LONG kSuiteVersionItem = 0x4009015;
constexpr wchar_t kNoMuidEvent[] = L"prfNotMUID";

// How an item's value is taken from the variant the SDK fills.
enum class Taken {
  HeldText,       // the string it holds, no conversion
  Number,         // its 32-bit payload as it lies
  ConvertedText,  // COM conversion to text, whatever the type
};

struct ItemValue {
  std::uint32_t number = 0;
  std::wstring text;
};

// Where a read value goes: the profile, and the numbers the counters step takes.
struct Destination {
  CProfileData& profile;
  CountersInputs& inputs;
};

// One configuration item of the driver: how its value is taken, where it is
// stored, and its failure and success traces.
struct ItemRead {
  LONG item;
  Taken taken;
  void (*store)(ItemValue& value, Destination& to);
  void (*failed)(LONG item, HRESULT result);
  void (*succeeded)(LONG item, const ItemValue& value);
};

ItemValue Take(const Variant& read, Taken taken) {
  ItemValue value;
  switch (taken) {
    case Taken::HeldText:
      value.text = HeldText(read);
      break;
    case Taken::Number:
      value.number = read.Raw32();
      break;
    case Taken::ConvertedText:
      value.text = read.ToText();
      break;
  }
  return value;
}

// Reads one item through `value`, which the reads of one table share.
bool ReadItem(SdkSession& session, Variant& value, const ItemRead& row, Destination& to) {
  ItemValue taken;
  const HRESULT result =
      ReadConfigurationItem(session.Configuration(), row.item, value,
                            [&](const Variant& read) { taken = Take(read, row.taken); });
  if (result != S_OK) {
    row.failed(row.item, result);
    return false;
  }
  row.succeeded(row.item, taken);
  row.store(taken, to);
  return true;
}

// The value a table's reads share; it starts as an unsigned integer 0.
template <std::size_t N>
void ReadItems(SdkSession& session, const std::array<ItemRead, N>& rows, Destination& to) {
  Variant value = Variant::UInt(0);
  for (const ItemRead& row : rows) (void)ReadItem(session, value, row, to);
}

constexpr ItemRead kMuidRead = {
    kMuidItem, Taken::HeldText,
    [](ItemValue& v, Destination& to) {
      if (v.text.empty()) QM_TRACE(Collector, 28, Info, Collector);
      to.profile.SetMUID(std::move(v.text));
    },
    [](LONG item, HRESULT r) {
      QM_TRACE(Collector, 26, Error, Collector, trace::Int(item), trace::Int(r));
    },
    [](LONG item, const ItemValue& v) {
      QM_TRACE(Collector, 27, Info, Collector, trace::Int(item), trace::AnsiOf(v.text));
    }};

void StoreSuiteVersion(ItemValue& v, Destination& to) {
  SuiteVersionParts parts = SplitSuiteVersion(v.text);
  to.profile.SetSuiteVersion(v.text);
  QM_TRACE(Collector, 33, Info, Collector, trace::Int(kSuiteVersionItem),
           trace::AnsiOf(parts.number));
  to.profile.SetSuiteVersionNumber(std::move(parts.number));
  to.inputs.version_major = parts.major;
  to.inputs.version_minor = parts.minor;
  to.inputs.version_build = parts.build;
}

constexpr std::array<ItemRead, 5> kIdentityReads = {{
    {0x4009025, Taken::Number,
     [](ItemValue& v, Destination& to) { to.profile.SetSuiteID(v.number); },
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 29, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 30, Info, Collector, trace::Int(item), trace::Int(v.number));
     }},
    {kSuiteVersionItem, Taken::HeldText, &StoreSuiteVersion,
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 31, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 32, Info, Collector, trace::Int(item), trace::AnsiOf(v.text));
     }},
    {0x400904B, Taken::HeldText,
     [](ItemValue& v, Destination& to) { to.profile.SetCountry(std::move(v.text)); },
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 34, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 35, Info, Collector, trace::Int(item), trace::AnsiOf(v.text));
     }},
    {0x4009019, Taken::HeldText,
     [](ItemValue& v, Destination& to) { to.profile.SetLanguage(std::move(v.text)); },
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 36, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 37, Info, Collector, trace::Int(item), trace::AnsiOf(v.text));
     }},
    {0x4009028, Taken::Number,
     [](ItemValue& v, Destination& to) {
       to.profile.SetCustomID(v.number);
       to.inputs.custom_id = v.number;
     },
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 38, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 39, Info, Collector, trace::Int(item), trace::Int(v.number));
     }},
}};

// Connection settings may be stored as any type; COM conversion makes text of them.
constexpr std::array<ItemRead, 3> kConnectionSettingReads = {{
    {0x4009014, Taken::ConvertedText,
     [](ItemValue& v, Destination& to) { to.profile.SetConnectionSetting1(std::move(v.text)); },
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 135, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 136, Info, Collector, trace::Int(item), trace::AnsiOf(v.text));
     }},
    {0x4009012, Taken::ConvertedText,
     [](ItemValue& v, Destination& to) { to.profile.SetConnectionSetting2(std::move(v.text)); },
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 137, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 138, Info, Collector, trace::Int(item), trace::AnsiOf(v.text));
     }},
    {0x4009013, Taken::ConvertedText,
     [](ItemValue& v, Destination& to) { to.profile.SetConnectionSetting3(std::move(v.text)); },
     [](LONG item, HRESULT r) {
       QM_TRACE(Collector, 139, Error, Collector, trace::Int(item), trace::Int(r));
     },
     [](LONG item, const ItemValue& v) {
       QM_TRACE(Collector, 140, Info, Collector, trace::Int(item), trace::AnsiOf(v.text));
     }},
}};

}  // namespace

bool ReadMuid(SdkSession& session, EventSink& events, CProfileData& profile) {
  CountersInputs unused;
  Destination to{profile, unused};
  Variant value = Variant::UInt(0);
  if (ReadItem(session, value, kMuidRead, to)) return true;
  events.Report(kNoMuidEvent, 1);
  return false;
}

bool CollectIdentity(SdkSession& session, CProfileData& profile, CountersInputs& inputs) {
  Destination to{profile, inputs};
  ReadItems(session, kIdentityReads, to);
  return true;
}

bool CollectConnectionSettings(SdkSession& session, CProfileData& profile) {
  CountersInputs unused;
  Destination to{profile, unused};
  ReadItems(session, kConnectionSettingReads, to);
  return true;
}

}  // namespace qm
