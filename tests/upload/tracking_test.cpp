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

using ::testing::HasSubstr;

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
    return Log(L"Create(" + Text(url) + L")"), this;
  }
  void ReleaseRequest(LinkRequest*) override { Log(L"Release"); }
  bool Start(const wchar_t* r1, const wchar_t* r2, const wchar_t* r3, const wchar_t* muid,
             const wchar_t* custom_id, const wchar_t* event) override {
    if (Text(r1) + Text(r2) + Text(r3) != L"") Log(L"reserved-not-empty");
    return Log(L"Start(" + Text(muid) + L"|" + Text(custom_id) + L"|" + Text(event) + L")");
  }
  bool AddParameter(const wchar_t* name, const wchar_t* value) override {
    return Log(L"Add(" + Text(name) + L"=" + Text(value) + L")");
  }
  bool Prepare() override { return Log(L"Prepare"); }
  bool Submit(const ConnectionSettings* s, std::int32_t options) override {
    const std::wstring record = s == nullptr
                                    ? L"0"
                                    : std::to_wstring(s->size) + L":" + Text(s->setting1) + L"," +
                                          Text(s->setting2) + L"," + Text(s->setting3);
    return Log(L"Submit(" + record + L"|" + std::to_wstring(options) + L")") && submit_result;
  }

  bool Log(const std::wstring& call) { return calls += L" " + call, true; }
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
LinkGetUtilFunction ResolveFake(HMODULE, const char*) {
  return g_has_entry ? &FakeGetUtil : nullptr;
}

constexpr LinkBridgeLoader kFakeLibrary{&LoadStandIn, &ResolveFake};

class Tracking : public ::testing::Test {
 protected:
  void SetUp() override {
    g_link = &link_;
    g_loaded.clear();
    g_loads = g_has_entry = g_gives_utility = true;
    ::SetEnvironmentVariableW(L"TrackingResource", nullptr);
  }

  // A fresh session started with `argv`; the transcript starts empty.
  TrackingSession& Started(std::vector<const wchar_t*> argv = {L"q.exe", L"-TRACKING"}) {
    session_.emplace(kFakeLibrary);
    session_->ParseSwitch(static_cast<int>(argv.size()), argv.data());
    session_->Start();
    link_.calls.clear();
    return *session_;
  }

  testing::RegistrySandbox hive_;
  trace::TraceRecorder recorder_;
  FakeRequests link_;
  std::optional<TrackingSession> session_;
};

// Without the switch not even the library is loaded.
TEST_F(Tracking, SwitchIsOneWholeArgumentAfterTheProgramInAnyLetterCase) {
  const struct {
    std::vector<const wchar_t*> argv;
    bool on;
  } rows[] = {
      {{L"q.exe", L"-tracking"}, true},      {{L"q.exe", L"/TestMode", L"-Tracking"}, true},
      {{L"q.exe", L"/TRACKING"}, false},     {{L"q.exe", L"-TRACKING=1"}, false},
      {{L"-TRACKING", L"/TestMode"}, false},
  };
  for (const auto& row : rows) {
    g_loaded.clear();
    Started(row.argv).Send(L"prfFailOMX", 12);
    EXPECT_EQ(session_->IsOn(), row.on) << Text(row.argv.back());
    EXPECT_EQ(g_loaded.size(), row.on ? 1u : 0u);
  }
}

// The library is the one beside the program; the URL is the default unless
// the variable holds one that fits its 260 units with the terminator.
TEST_F(Tracking, RequestsGoToTheResourceVariableWhenItFits) {
  const std::wstring fits = L"http://t/" + std::wstring(250, L'a');
  const std::wstring too_long = fits + L"b";
  const std::pair<const wchar_t*, std::wstring> rows[] = {
      {L"", kDefaultTrackingUrl}, {fits.c_str(), fits}, {too_long.c_str(), kDefaultTrackingUrl}};
  for (const auto& [value, url] : rows) {
    ::SetEnvironmentVariableW(L"TrackingResource", value);
    recorder_.Clear();
    Started().Send(L"prfFailOMX", 12);
    EXPECT_EQ(link_.calls.substr(0, url.size() + 8), L" Create(" + url);
    EXPECT_EQ(recorder_.Find(trace::Source::Tracking, 12) != nullptr, url != kDefaultTrackingUrl);
  }
  wchar_t own[MAX_PATH] = {};
  std::wstring folder(own, ::GetModuleFileNameW(nullptr, own, MAX_PATH));
  EXPECT_EQ(g_loaded.back(), folder.substr(0, folder.find_last_of(L'\\') + 1) + L"LinkBridge.dll");
}

TEST_F(Tracking, EachEventSendsItsOneParameterAndOnlySentOnesAreTraced) {
  const struct {
    const wchar_t* event;
    std::int32_t value;
    bool submits;
    std::wstring calls;
  } rows[] = {
      {L"prfFailOMX", 12, true,
       L" Start(||prfFailOMX) Prepare Add(omxError=12) Submit(0|7) Release"},
      {L"prfNotMUID", -3, false,
       L" Start(||prfNotMUID) Prepare Add(ptExecution=-3) Submit(0|7) Release"},
      {L"prfOther", 5, true, L" Start(||prfOther) Release"},
      {L"prfSvrNotRun", 1, true,
       L" Start(||prfSvrNotRun) Prepare Add(svrStatus=1) Submit(0|7) Release"},
  };
  TrackingSession& session = Started();
  for (const auto& row : rows) {
    link_.calls.clear();
    link_.submit_result = row.submits;
    recorder_.Clear();
    session.Send(row.event, row.value);
    EXPECT_EQ(link_.calls, L" Create(" + std::wstring(kDefaultTrackingUrl) + L")" + row.calls);
    const bool sent = row.submits && row.calls.find(L"Submit") != std::wstring::npos;
    EXPECT_EQ(recorder_.Find(trace::Source::Tracking, 14) != nullptr, sent) << Text(row.event);
  }
}

// Before the profile: the registry's MUID (stored without terminator; refused
// when it fills all 260 units) and no custom identifier. The profile's values
// are copies: it is gone before the event is sent.
TEST_F(Tracking, EventsCarryTheRegistryIdentityUntilTheProfileReplacesIt) {
  const struct {
    std::wstring registry_muid, profile_muid;  // registry: empty for no value
    std::optional<std::uint32_t> custom_id;    // no profile without it
    std::wstring setting1, start, submit;
  } rows[] = {
      {L"", L"", std::nullopt, L"", L"||", L"0"},
      {L"REG1", L"", std::nullopt, L"", L"REG1||", L"0"},
      {std::wstring(260, L'M'), L"", std::nullopt, L"", L"||", L"0"},
      {L"REG1", L"", 187477, L"", L"REG1|187477|", L"0"},
      {L"REG1", L"P1", 0xFFFFFFFF, L"proxy:8080", L"P1|-1|", L"16:proxy:8080,u,"},
  };
  for (const auto& row : rows) {
    const std::wstring& muid = row.registry_muid;
    if (!muid.empty()) {
      hive_.Set(L"SOFTWARE\\Orvex Software\\Setup\\UIDS", L"MUID", REG_SZ, muid.data(),
                static_cast<DWORD>(muid.size() * sizeof(wchar_t)));
    }
    TrackingSession& session = Started();
    if (row.custom_id) {
      testing::FakeProfile profile;
      profile.muid = row.profile_muid;
      profile.custom_id = *row.custom_id;
      profile.setting1 = row.setting1;
      profile.setting2 = L"u";
      session.SetProfile(&profile);
    }
    session.Send(L"prfFailOMX", 10);
    EXPECT_THAT(link_.calls, HasSubstr(L" Start(" + row.start + L"prfFailOMX)"));
    EXPECT_THAT(link_.calls, HasSubstr(L" Submit(" + row.submit + L"|7)"));
  }
}

// Whatever the library lacks, there is no tracker and events go nowhere; nor
// after the tracker stopped.
TEST_F(Tracking, WithoutALibraryEntryOrUtilityThereIsNoTracker) {
  for (bool* lack : {&g_loads, &g_has_entry, &g_gives_utility, static_cast<bool*>(nullptr)}) {
    if (lack != nullptr) *lack = false;
    TrackingSession& session = Started();
    if (lack == nullptr) session.Stop();
    session.Send(L"prfFailOMX", 12);
    EXPECT_FALSE(session.HasTracker());
    EXPECT_EQ(link_.calls, L"");
    g_loads = g_has_entry = g_gives_utility = true;
  }
}

}  // namespace
}  // namespace qm
