#include "counters/user_url_counts.h"

#include <sddl.h>
#include <windows.h>

#include <cstdint>
#include <string_view>

#include "sdk/omx_sdk.h"
#include "counters/agent_flags.h"
#include "counters/date_window.h"
#include "counters/sdk_reading.h"
#include "support/registry.h"
#include "support/unique_resource.h"

namespace qm::counters {
namespace {

constexpr wchar_t kProfileListKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// Local and domain accounts; the service accounts (S-1-5-18 to 20) have other SIDs.
constexpr wchar_t kAccountSidMark[] = L"S-1-5-21-";
constexpr DWORD kSubkeyNameCapacity = 128;
constexpr DWORD kAccountPartCapacity = 1024;

constexpr std::wstring_view kDefaultProfile = L".DEFAULT";
constexpr std::wstring_view kServiceAuthority = L"NT AUTHORITY\\";

constexpr Moment kUrlsSince{1971, 1, 1, 0, 0, 0};
constexpr std::uint32_t kMaxResults = 2147483647;

enum class Account { kCount, kSkip, kEndPass };

// Whether the profile of `sid` is an account worth a query. A SID that does
// not convert means the profile list is not what it seems, and ends the pass.
Account AccountOf(const std::wstring& sid) {
  PSID converted = nullptr;
  if (!::ConvertStringSidToSidW(sid.c_str(), &converted)) return Account::kEndPass;
  const UniqueLocalMemory owner(converted);
  wchar_t name[kAccountPartCapacity] = {};
  wchar_t domain[kAccountPartCapacity] = {};
  DWORD name_length = kAccountPartCapacity;
  DWORD domain_length = kAccountPartCapacity;
  SID_NAME_USE use = SidTypeUnknown;
  if (!::LookupAccountSidW(nullptr, converted, name, &name_length, domain, &domain_length, &use))
    return Account::kSkip;
  const std::wstring account = std::wstring(domain) + L"\\" + name;
  if (account == kDefaultProfile || account.find(kServiceAuthority) != std::wstring::npos)
    return Account::kSkip;
  return Account::kCount;
}

// The account's window, from 1971 to `now`. A window the SDK would not make
// is left unset: the datastore then counts without one.
Variant AccountWindow(SdkSession& session, const Clock& now_clock) {
  const Moment now = MomentOf(now_clock());
  const DateWindow window = CreateDateWindow(session);
  if (window.IsComplete()) {
    SetMomentWhateverAnswered(window.end, now, VT_UI2);
    SetMomentWhateverAnswered(window.start, kUrlsSince, VT_UI2);
    (void)window.filter->SetStart(AsValue(window.start).Get());
    (void)window.filter->SetEnd(AsValue(window.end).Get());
  }
  return AsValue(window.filter);
}

// The query of one account's URLs, entries in the order the datastore reads them.
ComPtr<IOmxMap> UrlQuery(SdkSession& session, const Clock& now, const std::wstring& sid) {
  auto query = CreateSdkObjectAs<IOmxMap>(session, omx::kVariantMapProgId);
  if (!query) return {};
  // "countersType" has a capital T in this query, unlike the malware counters'.
  const struct {
    const wchar_t* key;
    Variant value;
  } entries[] = {{L"queryType", Variant::Text(L"urls")},
                 {L"user", Variant::Text(sid)},
                 {L"maxResults", Variant::UInt(kMaxResults)},
                 {L"orderBy", Variant::Text(L"DATE")},
                 {L"countersType", Variant::Text(L"total")}};
  for (const auto& entry : entries) {
    if (FAILED(query->Add(Variant::Text(entry.key).Get(), entry.value.Get()))) return {};
  }
  const Variant window = AccountWindow(session, now);
  const auto date_filters = CreateSdkObjectAs<IOmxMap>(session, omx::kVariantMapProgId);
  if (FAILED(date_filters->Add(Variant::Text(L"MyFilter").Get(), window.Get()))) return {};
  if (FAILED(query->Add(Variant::Text(L"dateTimeFilters").Get(), AsValue(date_filters).Get())))
    return {};
  return query;
}

// Adds the URLs the datastore holds for `sid` to `total`; false ends the pass.
bool CountAccountUrls(SdkSession& session, const Clock& now, const std::wstring& sid,
                      std::uint32_t& total) {
  const ComPtr<IOmxMap> query = UrlQuery(session, now, sid);
  if (!query) return false;
  const auto datastore = CreateSdkObjectAs<IOmxDatastore>(session, omx::kDatastoreProgId);
  if (!datastore) return false;
  Variant answer;
  if (FAILED(datastore->ExecuteQuery(AsValue(query).Get(), answer.Put()))) return false;
  const ComPtr<IOmxMap> by_user = MapIn(answer);
  if (!by_user) return false;
  Variant user_entry;
  if (FAILED(by_user->ValueAt(0, user_entry.Put()))) return false;
  ComPtr<IOmxResultCollection> urls;
  if (const ComPtr<IOmxMap> by_filter = MapIn(user_entry)) {
    Variant filter_entry;
    if (FAILED(by_filter->ValueAt(0, filter_entry.Put()))) return false;
    urls = ObjectIn<IOmxResultCollection>(filter_entry);
    if (!urls) return false;
  }
  // Made as the agent has always seen it made, and not used further.
  if (!CreateSdkObjectAs<IOmxList>(session, omx::kListProgId)) return false;
  LONG size = 0;
  (void)urls->Size(&size);
  if (size > 0) total = AddCounts(total, static_cast<std::uint32_t>(size));
  return true;
}

}  // namespace

bool ListUserProfileSids(std::vector<std::wstring>& sids) {
  UniqueKey key;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kProfileListKey, KEY_READ, key) != ERROR_SUCCESS)
    return false;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kSubkeyNameCapacity] = {};
    DWORD length = kSubkeyNameCapacity;
    // The end of the list, a name too long for the buffer or any other error
    // ends the walk.
    if (::RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS ||
        length >= kSubkeyNameCapacity) {
      break;
    }
    const std::wstring subkey(name, length);
    if (subkey.find(kAccountSidMark) != std::wstring::npos) sids.push_back(subkey);
  }
  return true;
}

bool ReadUserUrlCounts(SdkSession& session, const Clock& now, CDetectionCounters& record) {
  if (!IsParentalControlEnabled()) return false;
  std::vector<std::wstring> sids;
  if (!ListUserProfileSids(sids)) return false;
  std::uint32_t total = 0;
  for (const std::wstring& sid : sids) {
    switch (AccountOf(sid)) {
      case Account::kEndPass:
        return false;
      case Account::kSkip:
        continue;
      case Account::kCount:
        if (!CountAccountUrls(session, now, sid, total)) return false;
        break;
    }
  }
  record.SetLast30DaysAnalyzedURLs(total);
  return true;
}

}  // namespace qm::counters
