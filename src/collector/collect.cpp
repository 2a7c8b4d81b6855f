// The collection driver: the agent's identity and suite values, then the
// other collection steps in their fixed order.
#include <new>

#include "collector/configuration_item.h"
#include "collector/profile_data_collector.h"
#include "collector/suite_version.h"
#include "diagnostics/trace.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

constexpr LONG kMuidItem = 0x4009701;
constexpr LONG kSuiteIdItem = 0x4009025;
constexpr LONG kSuiteVersionItem = 0x4009015;
constexpr LONG kCountryItem = 0x400904B;
constexpr LONG kLanguageItem = 0x4009019;
constexpr LONG kCustomIdItem = 0x4009028;
constexpr LONG kConnectionSetting1Item = 0x4009014;
constexpr LONG kConnectionSetting2Item = 0x4009012;
constexpr LONG kConnectionSetting3Item = 0x4009013;

constexpr wchar_t kNoMuidEvent[] = L"prfNotMUID";

// The value the driver's reads share; it starts as an unsigned integer 0.
Variant FreshReadValue() noexcept { return Variant::UInt(0); }

// Runs one collection step. A COM error raised inside ends that step only:
// the profile keeps what the step had filled and the collection goes on.
template <typename Step>
void RunContainedStep(const char* name, Step&& step) {
  try {
    step();
  } catch (const ComError& error) {
    QM_TRACE(Collector, 124, Error, Collector, trace::Narrow(name), trace::Int(error.Code()));
  }
}

}  // namespace

bool ProfileDataCollector::PrepareProfile() {
  // A second collection starts from a fresh profile, and the documents cached
  // from the first would no longer describe it.
  profile_.reset();
  full_json_cache_.clear();
  reduced_json_cache_.clear();
  profile_.reset(new (std::nothrow) CProfileData());
  if (!profile_) {
    QM_TRACE(Collector, 25, Error, Collector);
    return false;
  }
  return true;
}

bool ProfileDataCollector::ReadMuid(CProfileData& profile) {
  Variant value = FreshReadValue();
  std::wstring muid;
  const HRESULT result = ReadConfigurationItem(configuration_, kMuidItem, value,
                                               [&](const Variant& read) { muid = HeldText(read); });
  if (result != S_OK) {
    QM_TRACE(Collector, 26, Error, Collector, trace::Int(kMuidItem), trace::Int(result));
    platform_.send_tracking_event(kNoMuidEvent, 1);
    return false;
  }
  QM_TRACE(Collector, 27, Info, Collector, trace::Int(kMuidItem), trace::AnsiOf(muid));
  if (muid.empty()) QM_TRACE(Collector, 28, Info, Collector);
  profile.SetMUID(std::move(muid));
  return true;
}

void ProfileDataCollector::ReadIdentity(CProfileData& profile, CountersInputs& inputs) {
  Variant value = FreshReadValue();
  std::uint32_t number = 0;
  std::wstring text;
  const auto take_number = [&](const Variant& read) { number = read.Raw32(); };
  const auto take_text = [&](const Variant& read) { text = HeldText(read); };

  HRESULT result = ReadConfigurationItem(configuration_, kSuiteIdItem, value, take_number);
  if (result != S_OK) {
    QM_TRACE(Collector, 29, Error, Collector, trace::Int(kSuiteIdItem), trace::Int(result));
  } else {
    profile.SetSuiteID(number);
    QM_TRACE(Collector, 30, Info, Collector, trace::Int(kSuiteIdItem), trace::Int(number));
  }

  result = ReadConfigurationItem(configuration_, kSuiteVersionItem, value, take_text);
  if (result != S_OK) {
    QM_TRACE(Collector, 31, Error, Collector, trace::Int(kSuiteVersionItem), trace::Int(result));
  } else {
    QM_TRACE(Collector, 32, Info, Collector, trace::Int(kSuiteVersionItem), trace::AnsiOf(text));
    SuiteVersionParts parts = SplitSuiteVersion(text);
    profile.SetSuiteVersion(text);
    QM_TRACE(Collector, 33, Info, Collector, trace::Int(kSuiteVersionItem),
             trace::AnsiOf(parts.number));
    profile.SetSuiteVersionNumber(std::move(parts.number));
    inputs.version_major = parts.major;
    inputs.version_minor = parts.minor;
    inputs.version_build = parts.build;
  }

  result = ReadConfigurationItem(configuration_, kCountryItem, value, take_text);
  if (result != S_OK) {
    QM_TRACE(Collector, 34, Error, Collector, trace::Int(kCountryItem), trace::Int(result));
  } else {
    QM_TRACE(Collector, 35, Info, Collector, trace::Int(kCountryItem), trace::AnsiOf(text));
    profile.SetCountry(text);
  }

  result = ReadConfigurationItem(configuration_, kLanguageItem, value, take_text);
  if (result != S_OK) {
    QM_TRACE(Collector, 36, Error, Collector, trace::Int(kLanguageItem), trace::Int(result));
  } else {
    QM_TRACE(Collector, 37, Info, Collector, trace::Int(kLanguageItem), trace::AnsiOf(text));
    profile.SetLanguage(text);
  }

  result = ReadConfigurationItem(configuration_, kCustomIdItem, value, take_number);
  if (result != S_OK) {
    QM_TRACE(Collector, 38, Error, Collector, trace::Int(kCustomIdItem), trace::Int(result));
  } else {
    profile.SetCustomID(number);
    inputs.custom_id = number;
    QM_TRACE(Collector, 39, Info, Collector, trace::Int(kCustomIdItem), trace::Int(number));
  }
}

void ProfileDataCollector::ReadConnectionSettings(CProfileData& profile) {
  Variant value = FreshReadValue();
  std::wstring text;
  // Connection settings may be stored as any type; COM conversion makes text of them.
  const auto take_text = [&](const Variant& read) { text = read.ToText(); };

  HRESULT result = ReadConfigurationItem(configuration_, kConnectionSetting1Item, value, take_text);
  if (result != S_OK) {
    QM_TRACE(Collector, 135, Error, Collector, trace::Int(kConnectionSetting1Item),
             trace::Int(result));
  } else {
    QM_TRACE(Collector, 136, Info, Collector, trace::Int(kConnectionSetting1Item),
             trace::AnsiOf(text));
    profile.SetConnectionSetting1(text);
  }

  result = ReadConfigurationItem(configuration_, kConnectionSetting2Item, value, take_text);
  if (result != S_OK) {
    QM_TRACE(Collector, 137, Error, Collector, trace::Int(kConnectionSetting2Item),
             trace::Int(result));
  } else {
    QM_TRACE(Collector, 138, Info, Collector, trace::Int(kConnectionSetting2Item),
             trace::AnsiOf(text));
    profile.SetConnectionSetting2(text);
  }

  result = ReadConfigurationItem(configuration_, kConnectionSetting3Item, value, take_text);
  if (result != S_OK) {
    QM_TRACE(Collector, 139, Error, Collector, trace::Int(kConnectionSetting3Item),
             trace::Int(result));
  } else {
    QM_TRACE(Collector, 140, Info, Collector, trace::Int(kConnectionSetting3Item),
             trace::AnsiOf(text));
    profile.SetConnectionSetting3(text);
  }
}

bool ProfileDataCollector::Collect() {
  if (!initialised_) {
    QM_TRACE(Collector, 24, Error, Collector);
    return false;
  }
  if (!PrepareProfile()) return false;
  CProfileData& profile = *profile_;

  if (!ReadMuid(profile)) return false;

  CountersInputs inputs;
  RunContainedStep("OSInfo", [&] { (void)CollectOSInfo(profile); });
  RunContainedStep("Identity", [&] { ReadIdentity(profile, inputs); });
  RunContainedStep("ConnectionSettings", [&] { ReadConnectionSettings(profile); });
  // The add-on, licence and detection counter steps run here, in that order,
  // each contained the same way; the counters step takes `inputs`.
  return true;
}

}  // namespace qm
