#include "collector/licences.h"

#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "sdk/sdk_map.h"
#include "diagnostics/trace.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

constexpr LONG kLicenseInfoItem = 0x401202A;
constexpr std::uint32_t kModuleStatusCap = 0x100000;

// A map entry's value by key; false when the map refuses.
bool GetEntry(IOmxMap& map, const wchar_t* key, Variant& value) {
  return map.Get(Variant::Text(key).Get(), value.Put()) == S_OK;
}

// Text by COM conversion, whatever the type; false when it has none.
bool TextOf(const Variant& value, std::wstring& text) {
  try {
    text = value.ToText();
    return true;
  } catch (const ComError&) {
    return false;
  }
}

// Year-month-day of a COM date; false when the value is no valid date.
bool DateTextOf(const Variant& value, std::wstring& text) {
  DATE date = 0;
  try {
    date = value.ToDate();
  } catch (const ComError&) {
    return false;
  }
  SYSTEMTIME day = {};
  if (!::VariantTimeToSystemTime(date, &day)) return false;
  wchar_t buffer[16];
  std::swprintf(buffer, std::size(buffer), L"%04u-%02u-%02u", day.wYear, day.wMonth, day.wDay);
  text = buffer;
  return true;
}

// The text of a map's key at `index`; false when it cannot be had or is empty.
bool KeyTextAt(IOmxMap& map, LONG index, std::wstring& key) {
  Variant value;
  return map.KeyAt(index, value.Put()) == S_OK && TextOf(value, key) && !key.empty();
}

// The map held by the value at `index`; false when it cannot be had.
bool MapAt(IOmxMap& map, LONG index, ComPtr<IOmxMap>& entry) {
  Variant value;
  return map.ValueAt(index, value.Put()) == S_OK && MapOf(value, entry) == S_OK;
}

// One value of a record read from a map: its key, whether it is a date, the
// record's field, the field's value when the read fails, and its traces
// (which name the key and the record).
template <typename Record>
struct FieldRead {
  const wchar_t* key;
  bool is_date;
  void (Record::*set)(std::wstring);
  const wchar_t* fallback;
  void (*failed)(const wchar_t* key, const std::wstring& record);
  void (*succeeded)(const wchar_t* key, const std::wstring& record, const std::wstring& value);
};

template <typename Record, std::size_t N>
void ReadFields(IOmxMap& map, const std::array<FieldRead<Record>, N>& fields,
                const std::wstring& record_name, Record& record) {
  for (const FieldRead<Record>& field : fields) {
    Variant value;
    std::wstring text;
    const bool read = GetEntry(map, field.key, value) &&
                      (field.is_date ? DateTextOf(value, text) : TextOf(value, text));
    if (read) {
      field.succeeded(field.key, record_name, text);
      (record.*field.set)(std::move(text));
    } else {
      field.failed(field.key, record_name);
      (record.*field.set)(field.fallback);
    }
  }
}

using Name = const std::wstring&;

// A "Licenses" entry, named by its activation code.
constexpr std::array<FieldRead<CLicenseInfo>, 5> kLicenseEntryFields = {{
    {L"ClientID", false, &CLicenseInfo::SetClientID, L"0",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 90, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 91, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"ProductLicenseID", false, &CLicenseInfo::SetProductLicenseID, L"0",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 92, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 93, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"VersionType", false, &CLicenseInfo::SetLicenseVersionType, L"0",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 94, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 95, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"ActivationDate", true, &CLicenseInfo::SetActivationDate, L"",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 96, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 97, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"ExpirationDate", true, &CLicenseInfo::SetExpirationDate, L"",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 98, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 99, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
}};

// The one licence of a product without "Licenses", read from the product map
// and named by the product.
constexpr std::array<FieldRead<CLicenseInfo>, 5> kSingleLicenceFields = {{
    {L"ClientID", false, &CLicenseInfo::SetClientID, L"0",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 101, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 102, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"ActivationCode", false, &CLicenseInfo::SetActivationCode, L"",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 103, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 104, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"ActivationDate", true, &CLicenseInfo::SetActivationDate, L"",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 105, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 106, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"ExpirationDate", true, &CLicenseInfo::SetExpirationDate, L"",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 107, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 108, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"VersionType", false, &CLicenseInfo::SetLicenseVersionType, L"",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 109, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 110, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
}};

constexpr std::array<FieldRead<CProductInfo>, 2> kProductFields = {{
    {L"VersionType", false, &CProductInfo::SetVersionType, L"0",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 111, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 112, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
    {L"MyAccountID", false, &CProductInfo::SetMyAccountID, L"",
     [](const wchar_t* k, Name r) {
       QM_TRACE(Collector, 113, Error, Collector, trace::AnsiOf(k), trace::AnsiOf(r));
     },
     [](const wchar_t* k, Name r, Name v) {
       QM_TRACE(Collector, 114, Info, Collector, trace::AnsiOf(k), trace::AnsiOf(r),
                trace::AnsiOf(v));
     }},
}};

void AddLicenseEntries(IOmxMap& licences, CProductInfo& product) {
  LONG count = 0;
  (void)licences.Count(&count);
  for (LONG index = 0; index < count; ++index) {
    std::wstring code;
    if (!KeyTextAt(licences, index, code)) {
      QM_TRACE(Collector, 86, Error, Collector, trace::Int(index));
      continue;
    }
    QM_TRACE(Collector, 87, Info, Collector, trace::Int(index), trace::Int(count));
    std::unique_ptr<CLicenseInfo> licence(new (std::nothrow) CLicenseInfo());
    if (!licence) {
      QM_TRACE(Collector, 88, Error, Collector);
      continue;
    }
    licence->SetActivationCode(code);
    ComPtr<IOmxMap> entry;
    if (!MapAt(licences, index, entry)) {
      QM_TRACE(Collector, 89, Error, Collector, trace::AnsiOf(code));
      continue;
    }
    ReadFields(*entry.Get(), kLicenseEntryFields, code, *licence);
    product.AddLicense(licence.release());
  }
}

// False when the product must be dropped: its one licence cannot be made.
bool AddSingleLicence(IOmxMap& product_map, CProductInfo& product) {
  std::unique_ptr<CLicenseInfo> licence(new (std::nothrow) CLicenseInfo());
  if (!licence) {
    QM_TRACE(Collector, 100, Error, Collector);
    return false;
  }
  const std::wstring id = product.GetProductID();
  licence->SetProductLicenseID(id);
  ReadFields(product_map, kSingleLicenceFields, id, *licence);
  product.AddLicense(licence.release());
  return true;
}

// The product's licences; false when the product must be left out.
bool AddLicences(IOmxMap& product_map, CProductInfo& product) {
  const std::wstring id = product.GetProductID();
  Variant value;
  if (!GetEntry(product_map, L"Licenses", value)) {
    QM_TRACE(Collector, 85, Info, Collector, trace::AnsiOf(id), trace::Narrow("Licenses"));
    return AddSingleLicence(product_map, product);
  }
  ComPtr<IOmxMap> licences;
  if (MapOf(value, licences) != S_OK) {
    QM_TRACE(Collector, 84, Error, Collector, trace::AnsiOf(id));
    return false;
  }
  AddLicenseEntries(*licences.Get(), product);
  return true;
}

std::wstring ModuleStatusText(const CProfileData& profile) {
  std::uint32_t status = profile.GetDefaultModuleStatus();
  if (status >= kModuleStatusCap) {
    QM_TRACE(Collector, 115, Error, Collector, trace::Int(status));
    status = kModuleStatusCap;
  }
  return std::to_wstring(status);
}

void AddProductAt(IOmxMap& products, LONG index, LONG count, CProfileData& profile) {
  std::wstring id;
  if (!KeyTextAt(products, index, id)) {
    QM_TRACE(Collector, 81, Error, Collector, trace::Int(index));
    return;
  }
  QM_TRACE(Collector, 82, Info, Collector, trace::Int(index), trace::Int(count));
  std::unique_ptr<CProductInfo> product(new (std::nothrow) CProductInfo());
  if (!product) {
    QM_TRACE(Collector, 83, Error, Collector);
    return;
  }
  product->SetProductID(id);
  ComPtr<IOmxMap> product_map;
  if (!MapAt(products, index, product_map)) {
    QM_TRACE(Collector, 84, Error, Collector, trace::AnsiOf(id));
    return;
  }
  if (!AddLicences(*product_map.Get(), *product)) return;
  ReadFields(*product_map.Get(), kProductFields, id, *product);
  product->SetModuleStatus(ModuleStatusText(profile));
  profile.AddProduct(product.release());
}

}  // namespace

bool CollectLicenseInfo(SdkSession& session, CProfileData& profile) {
  Variant info;
  const HRESULT result = session.Licence()->GetLicenseInfo(Variant().Get(), info.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 79, Error, Collector, trace::Int(kLicenseInfoItem), trace::Int(result));
    return false;
  }
  ComPtr<IOmxMap> root;
  Variant products_value;
  ComPtr<IOmxMap> products;
  if (MapOf(info, root) != S_OK || !GetEntry(*root.Get(), L"Products", products_value) ||
      MapOf(products_value, products) != S_OK) {
    QM_TRACE(Collector, 80, Error, Collector, trace::Narrow("Products"));
    return false;
  }
  LONG count = 0;
  (void)products->Count(&count);
  for (LONG index = 0; index < count; ++index) AddProductAt(*products.Get(), index, count, profile);
  return true;
}

}  // namespace qm
