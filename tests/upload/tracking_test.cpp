// Tracking events against an in-process fake of the communications library.
#include "upload/tracking.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "fake_profile.h"
#include "upload/tracker.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using trace::Source;

constexpr wchar_t kUids[] = L"SOFTWARE\\Orvex Software\\Setup\\UIDS";
constexpr wchar_t kResource[] = L"TrackingResource";

std::wstring Text(const wchar_t* text) { return text == nullptr ? L"<null>" : text; }

// Every request call lands in one transcript, e.g. " Create(url)
// Start(muid|custom|event) Prepare Add(name=value) Submit(0|7) Release".
class FakeRequests final : public LinkUtility, public LinkRequest {
 public:
  LinkChannel* OpenChannel(const wchar_t*, const wchar_t*, const wchar_t*, std::int32_t,
                           const wchar_t*, const wchar_t*, std::int32_t,
                           const UploadCredentials*) override {
    return nullptr;
  }
  bool CloseChannel(LinkChannel*) override { return true; }
  LinkRequest* CreateRequest(const wchar_t* url) override {
    calls += L" Create(" + Text(url) + L")";
    return this;
  }
  void ReleaseRequest(LinkRequest*) override { calls += L" Release"; }
  bool Start(const wchar_t* r1, const wchar_t* r2, const wchar_t* r3, const wchar_t* muid,
             const wchar_t* custom_id, const wchar_t* event) override {
    if (Text(r1) + Text(r2) + Text(r3) != L"") calls += L" reserved-not-empty";
    calls += L" Start(" + Text(muid) + L"|" + Text(custom_id) + L"|" + Text(event) + L")";
    return true;
  }
  bool AddParameter(const wchar_t* name, const wchar_t* value) override {
    calls += L" Add(" + Text(name) + L"=" + Text(value) + L")";
    return true;
  }
  bool Prepare() override {
    calls += L" Prepare";
    return true;
  }
  bool Submit(const ConnectionSettings* s, std::int32_t options) override {
    calls += L" Submit(" +
             (s == nullptr ? L"0" : std::to_wstring(s->size) + L":" + Text(s->setting1) + L"," +
                                        Text(s->setting2) + L"," + Text(s->setting3)) +
             L"|" + std::to_wstring(options) + L")";
    return submit_result;
  }

  bool submit_result = true;
  std::wstring calls;
};

FakeRequests* g_link = nullptr;
std::vector<std::wstring> g_loaded;
bool g_loads = true, g_has_entry = true, g_gives_utility = true;

LinkUtility* FakeGetUtil() { return g_gives_utility ? g_link : nullptr; }
HMODULE LoadStandIn(const wchar_t* path) {
  g_loaded.push_back(path);
  return g_loads ? ::LoadLibraryW(L"kernel32.dll") : nullptr;
}
LinkGetUtilFunction ResolveFake(HMODULE, const char*) { return g_has_entry ? &FakeGetUtil : nullptr; }

constexpr LinkBridgeLoader kFakeLibrary{&LoadStandIn, &ResolveFake};
const wchar_t* const kTracked[] = {L"quillmark.exe", L"-TRACKING"};

class Tracking : public ::testing::Test {
 protected:
  void SetUp() override {
    g_link = &link_;
    g_loaded.clear();
    g_loads = g_has_entry = g_gives_utility = true;
    ::SetEnvironmentVariableW(kResource, nullptr);
  }
  void TearDown() override { ::SetEnvironmentVariableW(kResource, nullptr); }

  // A fresh session started with the switch; the transcript starts empty.
  TrackingSession& Started() {
    session_.emplace(kFakeLibrary);
    session_->ParseSwitch(2, kTracked);
    session_->Start();
    link_.calls.clear();
    return *session_;
  }

  testing::RegistrySandbox hive_;
  trace::TraceRecorder recorder_;
  FakeRequests link_;
  std::optional<TrackingSession> session_;
};

TEST(TrackingSwitch, IsOneWholeArgumentAfterTheProgramInAnyLetterCase) {
  const struct {
    std::vector<const wchar_t*> argv;
    bool on;
  } rows[] = {
      {{L"q.exe", L"-tracking"}, true},     {{L"q.exe", L"/TestMode", L"-Tracking"}, true},
      {{L"q.exe", L"/TRACKING"}, false},    {{L"q.exe", L"-TRACKING=1"}, false},
      {{L"-TRACKING"}, false},              {{L"-TRACKING", L"/TestMode"}, false},
  };
  for (const auto& row : rows) {
    TrackingSession session(kFakeLibrary);
    session.ParseSwitch(static_cast<int>(row.argv.size()), row.argv.data());
    EXPECT_EQ(session.IsOn(), row.on) << Text(row.argv.back());
  }
}

TEST_F(Tracking, WithoutTheSwitchNothingReachesTheLibrary) {
  TrackingSession session(kFakeLibrary);
  testing::FakeProfile profile;
  session.Start();
  session.SetProfile(&profile);
  session.Send(L"prfFailOMX", 12);
  session.Stop();
  EXPECT_THAT(g_loaded, IsEmpty());
  EXPECT_EQ(link_.calls, L"");
}

// The library is the one beside the program; the URL is the default unless
// the variable holds one that fits its 260 units with the terminator.
TEST_F(Tracking, RequestsGoToTheResourceVariableWhenItFits) {
  const std::wstring fits = L"http://t/" + std::wstring(250, L'a');
  const std::wstring too_long = fits + L"b";  // 260 units
  const struct {
    const wchar_t* value;
    std::wstring url;
  } rows[] = {{L"", kDefaultTrackingUrl}, {fits.c_str(), fits}, {too_long.c_str(), kDefaultTrackingUrl}};
  for (const auto& row : rows) {
    ::SetEnvironmentVariableW(kResource, row.value);
    recorder_.Clear();
    Started().Send(L"prfFailOMX", 12);
    EXPECT_EQ(link_.calls.substr(0, row.url.size() + 8), L" Create(" + row.url);
    EXPECT_EQ(recorder_.Find(Source::Tracking, 12) != nullptr, row.url != kDefaultTrackingUrl);
  }
  wchar_t own[MAX_PATH] = {};
  std::wstring folder(own, ::GetModuleFileNameW(nullptr, own, MAX_PATH));
  folder.resize(folder.find_last_of(L'\\') + 1);
  EXPECT_EQ(g_loaded.back(), folder + L"LinkBridge.dll");
}

TEST_F(Tracking, EachEventSendsItsOneParameterAndOnlySentOnesAreTraced) {
  const std::wstring head = L" Create(" + std::wstring(kDefaultTrackingUrl) + L")";
  const struct {
    const wchar_t* event;
    std::int32_t value;
    bool submits;
    std::wstring calls;
    bool traced;
  } rows[] = {
      {L"prfFailOMX", 12, true,
       L" Start(||prfFailOMX) Prepare Add(omxError=12) Submit(0|7) Release", true},
      {L"prfNotMUID", -3, false,
       L" Start(||prfNotMUID) Prepare Add(ptExecution=-3) Submit(0|7) Release", false},
      {L"prfOther", 5, true, L" Start(||prfOther) Release", false},
      {L"prfSvrNotRun", 1, true,
       L" Start(||prfSvrNotRun) Prepare Add(svrStatus=1) Submit(0|7) Release", true},
  };
  TrackingSession& session = Started();
  for (const auto& row : rows) {
    link_.calls.clear();
    link_.submit_result = row.submits;
    recorder_.Clear();
    session.Send(row.event, row.value);
    EXPECT_EQ(link_.calls, head + row.calls);
    EXPECT_EQ(recorder_.Find(Source::Tracking, 14) != nullptr, row.traced) << Text(row.event);
  }
}

testing::FakeProfile ProfileOf(std::wstring muid, std::uint32_t custom_id, std::wstring setting1 = {},
                               std::wstring setting2 = {}) {
  testing::FakeProfile profile;
  profile.muid = std::move(muid);
  profile.custom_id = custom_id;
  profile.setting1 = std::move(setting1);
  profile.setting2 = std::move(setting2);
  return profile;
}

// Before the profile: the registry's MUID (stored without terminator; refused
// when it fills all 260 units) and no custom identifier. The profile's values
// are copies: it is gone before the event is sent.
TEST_F(Tracking, EventsCarryTheRegistryIdentityUntilTheProfileReplacesIt) {
  const struct {
    std::wstring registry_muid;  // empty: no value
    std::optional<testing::FakeProfile> profile;
    std::wstring start;
    std::wstring submit;
  } rows[] = {
      {L"", std::nullopt, L"||", L"0"},
      {L"REG1", std::nullopt, L"REG1||", L"0"},
      {std::wstring(260, L'M'), std::nullopt, L"||", L"0"},
      {L"REG1", ProfileOf(L"", 187477), L"REG1|187477|", L"0"},
      {L"REG1", ProfileOf(L"P1", 0xFFFFFFFF, L"proxy:8080", L"u"), L"P1|-1|", L"16:proxy:8080,u,"},
  };
  for (const auto& row : rows) {
    const std::wstring& muid = row.registry_muid;
    if (!muid.empty()) {
      hive_.Set(kUids, L"MUID", REG_SZ, muid.data(), static_cast<DWORD>(muid.size() * sizeof(wchar_t)));
    }
    TrackingSession& session = Started();
    if (row.profile) {
      const testing::FakeProfile profile = *row.profile;
      session.SetProfile(&profile);
    }
    session.Send(L"prfFailOMX", 10);
    EXPECT_THAT(link_.calls, ::testing::HasSubstr(L" Start(" + row.start + L"prfFailOMX)"));
    EXPECT_THAT(link_.calls, ::testing::HasSubstr(L" Submit(" + row.submit + L"|7)"));
  }
}

// Whatever the library lacks, there is no tracker and events go nowhere.
TEST_F(Tracking, WithoutALibraryEntryOrUtilityThereIsNoTracker) {
  bool* const lacks[] = {&g_loads, &g_has_entry, &g_gives_utility, nullptr};
  for (bool* lack : lacks) {
    if (lack != nullptr) *lack = false;
    TrackingSession& session = Started();
    if (lack == nullptr) session.Stop();  // a stopped tracker is gone too
    session.Send(L"prfFailOMX", 12);
    EXPECT_FALSE(session.HasTracker());
    EXPECT_EQ(link_.calls, L"");
    g_loads = g_has_entry = g_gives_utility = true;
  }
}

}  // namespace
}  // namespace qm
