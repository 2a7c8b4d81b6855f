#include "collector/os_info.h"

#include <array>
#include <memory>
#include <new>

#include "sdk/configuration_item.h"
#include "collector/machine_os_info.h"
#include "diagnostics/trace.h"
#include "profile/profile_data.h"
#include "support/text.h"

namespace qm {
namespace {

struct OsNumberItem {
  LONG item;
  void (COSInfo::*set)(std::uint32_t);
};

constexpr std::array<OsNumberItem, 5> kOsNumberItems = {{
    {0x4009703, &COSInfo::SetOSMajorVer},
    {0x4009704, &COSInfo::SetOSMinorVer},
    {0x4009705, &COSInfo::SetSPMajorVer},
    {0x4009706, &COSInfo::SetSPMinorVer},
    {0x4009702, &COSInfo::SetOSType},
}};
constexpr LONG kOsX64Item = 0x4009707;

}  // namespace

bool CollectOSInfo(SdkSession& session, CProfileData& profile) {
  std::unique_ptr<COSInfo> os_info(new (std::nothrow) COSInfo());
  if (!os_info) {
    QM_TRACE(Collector, 116, Error, Collector);
    return false;
  }

  // One value serves all six reads; it starts as a 32-bit integer 0.
  Variant value = Variant::Int32(0);
  for (const OsNumberItem& entry : kOsNumberItems) {
    std::uint32_t number = 0;
    const HRESULT result =
        ReadConfigurationItem(session.Configuration(), entry.item, value,
                              [&](const Variant& read) { number = read.Raw32(); });
    if (result != S_OK) {
      QM_TRACE(Collector, 117, Error, Collector, trace::Int(entry.item), trace::Int(result));
      continue;
    }
    ((*os_info).*entry.set)(number);
    QM_TRACE(Collector, 118, Info, Collector, trace::Int(entry.item), trace::Int(number));
  }

  bool x64 = false;
  const HRESULT x64_result =
      ReadConfigurationItem(session.Configuration(), kOsX64Item, value,
                            [&](const Variant& read) { x64 = read.ToBool(); });
  if (x64_result != S_OK) {
    QM_TRACE(Collector, 117, Error, Collector, trace::Int(kOsX64Item), trace::Int(x64_result));
  } else {
    os_info->SetOSx64(x64);
    QM_TRACE(Collector, 119, Info, Collector, trace::Int(kOsX64Item),
             trace::Narrow(TrueOrFalse(x64)));
  }

  std::wstring net_version;
  if (ReadNetVersionInstalled(net_version)) {
    QM_TRACE(Collector, 121, Info, Collector, trace::AnsiOf(net_version));
    os_info->SetNetVersionInstalled(std::move(net_version));
  } else {
    QM_TRACE(Collector, 120, Error, Collector);
  }

  std::wstring release = L"0";
  (void)ReadNetFrameworkRelease(release);
  QM_TRACE(Collector, 122, Info, Collector, trace::AnsiOf(release));
  os_info->SetNetFrameworkRealVersion(std::move(release));

  std::wstring build = L"0";
  if (IsWindows10()) (void)ReadWindowsBuildNumber(build);
  QM_TRACE(Collector, 123, Info, Collector, trace::AnsiOf(build));
  os_info->SetW10BuildNumber(std::move(build));

  profile.SetOSInfo(os_info.release());
  return true;
}

}  // namespace qm
