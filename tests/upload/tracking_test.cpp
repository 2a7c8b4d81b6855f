#include "upload/tracking.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "fake_link.h"
#include "profile/profile_data.h"
#include "upload/tracker.h"

namespace qm {
namespace {

using ::testing::HasSubstr;

using testing::FakeLink;
using testing::kFakeLibrary;

class Tracking : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::g_link = &link_;
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
  FakeLink link_;
  std::optional<TrackingSession> session_;
};

// The switch is one whole argument after the program, in any letter case;
// without it not even the library is loaded. Whatever the library lacks, there
// is no tracker and events go nowhere; nor after the tracker stopped.
TEST_F(Tracking, EventsGoOutOnlyWithTheSwitchAndTheWholeLibrary) {
  const std::vector<const wchar_t*> on = {L"q.exe", L"-TRACKING"};
  const struct {
    std::vector<const wchar_t*> argv;
    bool FakeLink::*lack;  // the part the library lacks, if any
    bool stopped, sends;
  } rows[] = {
      {{L"q.exe", L"/TestMode", L"-Tracking"}, nullptr, false, true},
      {{L"q.exe", L"/TRACKING"}, nullptr, false, false},
      {{L"q.exe", L"-TRACKING=1"}, nullptr, false, false},
      {{L"-TRACKING", L"/TestMode"}, nullptr, false, false},
      {on, &FakeLink::loads, false, false},
      {on, &FakeLink::has_entry, false, false},
      {on, &FakeLink::gives_utility, false, false},
      {on, nullptr, true, false},
  };
  for (const auto& row : rows) {
    link_ = FakeLink{};
    if (row.lack != nullptr) link_.*row.lack = false;
    TrackingSession& session = Started(row.argv);
    if (row.stopped) session.Stop();
    session.Send(L"prfFailOMX", 12);
    EXPECT_EQ(session.HasTracker(), row.sends) << row.argv.back();
    EXPECT_EQ(link_.calls.empty(), !row.sends);
    EXPECT_EQ(link_.loaded.size(), session.IsOn() ? 1u : 0u);
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
    EXPECT_EQ(link_.calls.substr(0, url.size() + 7), L"Create(" + url);
    EXPECT_EQ(recorder_.Find(trace::Source::Tracking, 12) != nullptr, url != kDefaultTrackingUrl);
  }
  wchar_t own[MAX_PATH] = {};
  std::wstring folder(own, ::GetModuleFileNameW(nullptr, own, MAX_PATH));
  EXPECT_EQ(link_.loaded.back(),
            folder.substr(0, folder.find_last_of(L'\\') + 1) + L"LinkBridge.dll");
}

TEST_F(Tracking, EachEventSendsItsOneParameterAndOnlySentOnesAreTraced) {
  const struct {
    const wchar_t* event;
    std::int32_t value;
    bool submits;
    std::wstring calls;
    bool FakeLink::*refused = nullptr;  // Prepare's refusal changes nothing
    const wchar_t* raised_in = L"";     // the request is released, the run goes on
  } rows[] = {
      {L"prfFailOMX", 12, true,
       L" Start(||prfFailOMX) Prepare Add(omxError=12) Submit(0|7) Release"},
      {L"prfNotMUID", -3, false,
       L" Start(||prfNotMUID) Prepare Add(ptExecution=-3) Submit(0|7) Release"},
      {L"prfOther", 5, true, L" Start(||prfOther) Release"},
      {L"prfSvrNotRun", 1, true,
       L" Start(||prfSvrNotRun) Prepare Add(svrStatus=1) Submit(0|7) Release",
       &FakeLink::prepare_result},
      {L"prfFailOMX", 12, true, L"", &FakeLink::give_request},
      {L"prfFailOMX", 12, true, L" Start(||prfFailOMX) Release", &FakeLink::start_result},
      {L"prfFailOMX", 12, true, L" Start(||prfFailOMX) Prepare Add(omxError=12) Release",
       &FakeLink::add_result},
      {L"prfFailOMX", 12, true, L" Start(||prfFailOMX) Release", nullptr, L"Start"},
      {L"prfFailOMX", 12, true, L" Start(||prfFailOMX) Prepare Add(omxError=12) Release", nullptr,
       L"AddParameter"},
      {L"prfFailOMX", 12, true,
       L" Start(||prfFailOMX) Prepare Add(omxError=12) Submit(0|7) Release", nullptr, L"Submit"},
      // The event after a raise carries its own parameter only.
      {L"prfSvrNotRun", 2, true,
       L" Start(||prfSvrNotRun) Prepare Add(svrStatus=2) Submit(0|7) Release"},
  };
  TrackingSession& session = Started();
  for (const auto& row : rows) {
    link_ = FakeLink{};
    link_.submit_result = row.submits;
    if (row.refused != nullptr) link_.*row.refused = false;
    link_.raise_in = row.raised_in;
    recorder_.Clear();
    session.Send(row.event, row.value);
    EXPECT_EQ(link_.calls, L"Create(" + std::wstring(kDefaultTrackingUrl) + L")" + row.calls);
    const bool sent =
        row.submits && row.calls.find(L"Submit") != std::wstring::npos && *row.raised_in == L'\0';
    EXPECT_EQ(recorder_.Find(trace::Source::Tracking, 14) != nullptr, sent) << row.event;
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
      {std::wstring(260, L'M'), L"", std::nullopt, L"", L"||", L"0"},
      {L"REG1", L"", 187477, L"", L"REG1|187477|", L"0"},
      {L"REG1", L"P1", 0xFFFFFFFF, L"proxy:8080", L"P1|-1|", L"16|proxy:8080|u|"},
  };
  for (const auto& row : rows) {
    const std::wstring& muid = row.registry_muid;
    if (!muid.empty()) {
      hive_.Set(L"SOFTWARE\\Orvex Software\\Setup\\UIDS", L"MUID", REG_SZ, muid.data(),
                static_cast<DWORD>(muid.size() * sizeof(wchar_t)));
    }
    TrackingSession& session = Started();
    if (row.custom_id) {
      CProfileData profile;
      profile.SetMUID(row.profile_muid);
      profile.SetCustomID(*row.custom_id);
      profile.SetConnectionSetting1(row.setting1);
      profile.SetConnectionSetting2(L"u");
      session.SetProfile(&profile);
    }
    session.Send(L"prfFailOMX", 10);
    EXPECT_THAT(link_.calls, HasSubstr(L" Start(" + row.start + L"prfFailOMX)"));
    EXPECT_THAT(link_.calls, HasSubstr(L" Submit(" + row.submit + L"|7)"));
  }
}

}  // namespace
}  // namespace qm
