#include "counters/detection_readers.h"

#include <array>
#include <cstdint>
#include <string>

#include "sdk/omx_sdk.h"
#include "counters/agent_flags.h"
#include "counters/date_window.h"
#include "counters/sdk_reading.h"

namespace qm::counters {
namespace {

constexpr LONG kTotalAnalyzedFilesItem = 0x306D001;
constexpr LONG kInstalledUpdatesItem = 0x4009996;

// The statistics key of the detection totals, and of the blocked threats (the
// number 0 written in decimal).
constexpr wchar_t kTotalDetectsKey[] = L"TotalDetects";
constexpr wchar_t kBlockedThreatsKey[] = L"0";

constexpr std::array<const wchar_t*, 5> kVirusCategories = {L"virus", L"worms", L"troyans",
                                                            L"spyware", L"adware"};
constexpr std::array<const wchar_t*, 11> kBlockedCategories = {
    L"virus",   L"worms", L"troyans", L"spyware",    L"adware", L"others",
    L"dialers", L"jokes", L"cookies", L"suspicious", L"blocked"};

constexpr Moment kBlockedThreatsSince{1901, 1, 1, 0, 0, 0};

// The collector's error lines, word for word as the agent's support tools match them.
constexpr wchar_t kNoStatisticsObject[] = L"Error creating 'OMX_STATISTICS_OBJECT'.";
constexpr wchar_t kNoStringMapObject[] = L"Error creating 'OMX_STRINGMAP_OBJECT'.";
constexpr wchar_t kFilterNotAdded[] = L"Error setting date filter to filters map.";
constexpr wchar_t kReportUnreadable[] = L"Error getting counters from report data.";
constexpr wchar_t kAnalyzedFilesUnreadable[] = L"Error getting total analyzed files.";
constexpr wchar_t kNoVariantMapObject[] = L"Error creating 'OMX_VARIANTMAP_OBJECT'.";
constexpr wchar_t kNoDatastoreObject[] = L"Error creating 'OMX_DATASTORE_OBJECT'.";
constexpr wchar_t kQueryFailed[] = L"Error executing data store query.";
constexpr wchar_t kResponseNotMap[] = L"Error: Invalid data store query response.";

// One level of the datastore's answer to the URL detection query: the key
// looked up, the line when it is absent and the line when it holds no map.
struct AnswerLevel {
  const wchar_t* key;
  const wchar_t* absent;
  const wchar_t* not_map;
};

constexpr std::array<AnswerLevel, 2> kUrlAnswerLevels = {{
    {L"ALL", L"Error getting counters from user filter map.",
     L"Error: Invalid date filters map acquired from user filter map."},
    {L"DetectionCounters", L"Error getting date filter from date filters map.",
     L"Error: Invalid counters map acquired from date filter."},
}};
constexpr wchar_t kTotalKey[] = L"TOTAL";
constexpr wchar_t kTotalAbsent[] = L"Error getting total URL detection counter from counters map.";

bool Fail(SdkSession& session, const wchar_t* line) {
  session.LogCollectorError(line);
  return false;
}

// The count held under `key`, or 0 when the entry is absent: a report without
// a category has detected nothing of it.
std::uint32_t CategoryCount(const ComPtr<IOmxMap>& categories, const wchar_t* key) {
  Variant value;
  (void)GetEntry(categories, key, value);
  return CountIn(value);
}

void SetDetectionsFrom(const ComPtr<IOmxMap>& categories, CDetectionCounters& record) {
  std::uint32_t virus = 0;
  for (const wchar_t* key : kVirusCategories)
    virus = AddCounts(virus, CategoryCount(categories, key));
  record.SetVirusDetections(virus);
  record.SetPUPDetections(CategoryCount(categories, L"PUIs"));
  record.SetSuspiciousDetection(CategoryCount(categories, L"suspicious"));
}

// The category map of report entry `index`; empty when the entry cannot be read.
ComPtr<IOmxMap> ReportEntry(const ComPtr<IOmxMap>& report, LONG index) {
  Variant key;
  if (FAILED(report->KeyAt(index, key.Put()))) return {};
  Variant value;
  if (FAILED(report->Get(key.Get(), value.Put()))) return {};
  return MapIn(value);
}

}  // namespace

bool ReadDetectionTotals(SdkSession& session, const ComPtr<IOmxDateTimeFilter>& filter,
                         CDetectionCounters& record) {
  const auto statistics = CreateSdkObjectAs<IOmxStatistics>(session, omx::kStatisticsProgId);
  if (!statistics) return Fail(session, kNoStatisticsObject);
  const auto filters = CreateSdkObjectAs<IOmxMap>(session, omx::kStringMapProgId);
  if (!filters) return Fail(session, kNoStringMapObject);
  if (FAILED(filters->Add(Variant::Text(kTotalDetectsKey).Get(), AsValue(filter).Get())))
    return Fail(session, kFilterNotAdded);
  ComPtr<IDispatch> report;
  // The agent answers no statistics while its database is busy; that is no error.
  if (FAILED(statistics->GetStatistics(filters.Get(), report.Put()))) return true;
  if (!ReadDetectionReport(report, record)) return Fail(session, kReportUnreadable);
  return true;
}

bool ReadDetectionReport(const ComPtr<IDispatch>& report, CDetectionCounters& record) {
  ComPtr<IOmxMap> entries;
  if (FAILED(report.As(entries))) return false;
  LONG count = 0;
  if (FAILED(entries->Count(&count))) return false;
  bool all_read = true;
  for (LONG index = 0; index < count; ++index) {
    const ComPtr<IOmxMap> categories = ReportEntry(entries, index);
    if (!categories) {
      all_read = false;
      continue;
    }
    SetDetectionsFrom(categories, record);
  }
  return all_read;
}

bool ReadUrlDetectionTotal(SdkSession& session, const ComPtr<IOmxDateTimeFilter>& filter,
                           CDetectionCounters& record) {
  const auto date_filters = CreateSdkObjectAs<IOmxMap>(session, omx::kVariantMapProgId);
  if (!date_filters) return Fail(session, kNoVariantMapObject);
  (void)date_filters->Set(Variant::Text(L"DetectionCounters").Get(), AsValue(filter).Get());

  const auto query = CreateSdkObjectAs<IOmxMap>(session, omx::kVariantMapProgId);
  if (!query) return Fail(session, kNoVariantMapObject);
  // "counterstype" is spelt with a lower-case t in this query, as the datastore knows it.
  (void)query->Set(Variant::Text(L"queryType").Get(), Variant::Text(L"countersMalware").Get());
  (void)query->Set(Variant::Text(L"dateTimeFilters").Get(), AsValue(date_filters).Get());
  (void)query->Set(Variant::Text(L"counterstype").Get(), Variant::Text(L"total").Get());
  (void)query->Set(Variant::Text(L"user").Get(), Variant::Text(L"ALL").Get());

  const auto datastore = CreateSdkObjectAs<IOmxDatastore>(session, omx::kDatastoreProgId);
  if (!datastore) return Fail(session, kNoDatastoreObject);
  Variant answer;
  if (FAILED(datastore->ExecuteQuery(AsValue(query).Get(), answer.Put())))
    return Fail(session, kQueryFailed);
  ComPtr<IOmxMap> level = MapIn(answer);
  if (!level) return Fail(session, kResponseNotMap);

  for (const AnswerLevel& next : kUrlAnswerLevels) {
    Variant value;
    if (FAILED(GetEntry(level, next.key, value))) return Fail(session, next.absent);
    level = MapIn(value);
    if (!level) return Fail(session, next.not_map);
  }
  Variant total;
  if (FAILED(GetEntry(level, kTotalKey, total))) return Fail(session, kTotalAbsent);
  record.SetURLDetections(CountIn(total));
  return true;
}

bool ReadTotalAnalyzedFiles(SdkSession& session, CDetectionCounters& record) {
  Variant value;
  if (FAILED(session.Configuration()->GetValue(omx::kDefaultScope, kTotalAnalyzedFilesItem,
                                               value.Put())))
    return Fail(session, kAnalyzedFilesUnreadable);
  record.SetTotalAnalyzedFiles(CountIn(value));
  return true;
}

bool ReadRecoveredBytes(SdkSession& session, CDetectionCounters& record) {
  const auto reports = CreateSdkObjectAs<IOmxTuneUpReports>(session, omx::kTuneUpReportsProgId);
  // The agent has always seen a list made before its reports are asked for,
  // though they come back in a list of their own; its call records stay
  // comparable with earlier versions of this program.
  const auto asked_list = CreateSdkObjectAs<IOmxList>(session, omx::kListProgId);
  ComPtr<IDispatch> answer;
  if (FAILED(reports->GetReports(answer.Put()))) return false;
  ComPtr<IOmxList> list;
  if (FAILED(answer.As(list))) return false;

  std::uint64_t bytes = 0;
  LONG count = 0;
  if (SUCCEEDED(list->Count(&count))) {
    for (LONG index = 0; index < count; ++index) {
      Variant item;
      if (FAILED(list->ItemAt(index, item.Put()))) continue;
      Variant size;
      (void)GetEntry(MapIn(item), L"TotalFilesSize", size);
      if (size.Type() == VT_UI8) bytes += size.Get().ullVal;
    }
  }
  record.SetRecoveredBytes(std::to_wstring(bytes));
  return true;
}

bool ReadBlockedThreats(SdkSession& session, const Clock& clock, CDetectionCounters& record) {
  const DateWindow window = CreateDateWindow(session);
  const Moment now = MomentOf(clock());
  if (FAILED(SetMoment(window.end, now, VT_I4))) return false;
  if (FAILED(window.filter->SetEnd(AsValue(window.end).Get()))) return false;
  if (FAILED(SetMoment(window.start, kBlockedThreatsSince, VT_I4))) return false;
  if (FAILED(window.filter->SetStart(AsValue(window.start).Get()))) return false;

  const auto filters = CreateSdkObjectAs<IOmxMap>(session, omx::kStringMapProgId);
  // The statistics object hands its report back in place of this one.
  auto report_slot = CreateSdkObjectAs<IOmxMap>(session, omx::kStringMapProgId);
  if (FAILED(filters->Set(Variant::Text(kBlockedThreatsKey).Get(), AsValue(window.filter).Get())))
    return false;
  const auto statistics = CreateSdkObjectAs<IOmxStatistics>(session, omx::kStatisticsProgId);
  ComPtr<IDispatch> report;
  if (FAILED(statistics->GetStatistics(filters.Get(), report.Put()))) return false;
  report_slot.Reset();

  ComPtr<IOmxMap> report_map;
  (void)report.As(report_map);
  ComPtr<IOmxMap> categories;
  Variant entry;
  if (SUCCEEDED(GetEntry(report_map, kBlockedThreatsKey, entry))) categories = MapIn(entry);

  std::uint32_t blocked = 0;
  for (const wchar_t* key : kBlockedCategories) {
    Variant value;
    if (SUCCEEDED(GetEntry(categories, key, value))) blocked = AddCounts(blocked, CountIn(value));
  }
  record.SetBlockedThreats(blocked);
  return true;
}

bool ReadInstalledUpdates(SdkSession& session, CDetectionCounters& record) {
  Variant value;
  if (FAILED(session.Configuration()->GetValue(omx::kDefaultScope, kInstalledUpdatesItem,
                                               value.Put())) ||
      value.Type() != VT_DISPATCH) {
    return false;
  }
  Variant installed;
  if (FAILED(GetEntry(MapIn(value), L"Installed", installed))) return false;
  record.SetInstalledUpdates(CountIn(installed));
  return true;
}

}  // namespace qm::counters
