// The wait for the agent service, run through scripted service states so the
// whole 300-second course takes milliseconds, and one check against the real
// service control manager.
#include "run/service_wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "diagnostics/trace_recorder.h"

namespace qm {
namespace {

using Outcome = ServiceStatusReading::Outcome;
using ::testing::ElementsAre;
using trace::Source;

// The run driver's messages of `checks` checks that each found `state_message`.
std::vector<int> FailedChecks(int checks, int state_message) {
  std::vector<int> numbers{38, state_message, 36};
  for (int i = 1; i < checks; ++i) {
    numbers.push_back(38);
    numbers.push_back(state_message);
  }
  return numbers;
}

// What the scripted platform answers and what it was asked.
struct Script {
  std::function<ServiceStatusReading(int reading)> answer;
  std::vector<std::wstring> names;
  std::vector<DWORD> pauses;
};
Script* g_script = nullptr;

ServiceStatusReading ScriptedRead(SC_HANDLE /*manager*/, const wchar_t* name) {
  g_script->names.emplace_back(name);
  return g_script->answer(static_cast<int>(g_script->names.size()) - 1);
}
void ScriptedPause(DWORD milliseconds) { g_script->pauses.push_back(milliseconds); }
constexpr ServiceWaitPlatform kScripted{&ScriptedRead, &ScriptedPause};

ServiceStatusReading InState(DWORD state) { return {Outcome::Read, state, 0}; }
ServiceStatusReading NotOpened(DWORD error) { return {Outcome::NotOpened, 0, error}; }

class ServiceWait : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = &script_;
    previous_ = SetServiceWaitPlatform(&kScripted);
  }
  void TearDown() override {
    SetServiceWaitPlatform(previous_);
    g_script = nullptr;
  }

  // Each check reads the status once, plus once more when it is not running.
  Script script_;
  const ServiceWaitPlatform* previous_ = nullptr;
  trace::TraceRecorder recorder_{5, trace::flags::Run};
};

TEST_F(ServiceWait, ServiceRunningAtTheFirstCheckNeedsNoPause) {
  script_.answer = [](int) { return InState(SERVICE_RUNNING); };
  EXPECT_TRUE(WaitForAgentService());
  EXPECT_EQ(script_.names, std::vector<std::wstring>{L"VelaServiceMain"});
  EXPECT_TRUE(script_.pauses.empty());
  EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(38, 46));
  EXPECT_THAT(recorder_.Numbers(Source::ServiceControl), ElementsAre(13));
  EXPECT_EQ(recorder_.Find(Source::ServiceControl, 13)->args.at(0).value, SERVICE_RUNNING);
}

TEST_F(ServiceWait, ServiceStartingAfterTheSecondRecheckEndsTheWaitAtTheThird) {
  // Readings: check 1 (2 readings), re-check 1 (2), re-check 2 (2), re-check 3 (1: running).
  script_.answer = [](int reading) {
    return reading >= 6 ? InState(SERVICE_RUNNING) : InState(SERVICE_START_PENDING);
  };
  EXPECT_TRUE(WaitForAgentService());
  EXPECT_EQ(script_.names.size(), 7u);
  EXPECT_EQ(script_.pauses, std::vector<DWORD>(3, 10000));
  EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(38, 40, 36, 38, 40, 38, 40, 38, 46));
}

TEST_F(ServiceWait, ServiceThatNeverStartsIsCheckedThirtyOneTimesWithThirtyPausesOfTenSeconds) {
  script_.answer = [](int) { return InState(SERVICE_STOPPED); };
  EXPECT_FALSE(WaitForAgentService());
  EXPECT_EQ(script_.names.size(), 2u * 31u);
  EXPECT_EQ(script_.pauses, std::vector<DWORD>(30, 10000));
  EXPECT_EQ(recorder_.Numbers(Source::RunDriver), FailedChecks(31, 39));
}

TEST_F(ServiceWait, ServiceNotInstalledGivesUpAfterOneCheckWithoutPausing) {
  script_.answer = [](int) { return NotOpened(ERROR_SERVICE_DOES_NOT_EXIST); };
  EXPECT_FALSE(WaitForAgentService());
  EXPECT_EQ(script_.names.size(), 2u);
  EXPECT_TRUE(script_.pauses.empty());
  // The state cannot be read either, so the check names no state it knows.
  EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(38, 45, 37));
  EXPECT_THAT(recorder_.Numbers(Source::ServiceControl), ElementsAre(15));
  EXPECT_EQ(recorder_.Find(Source::ServiceControl, 15)->args.at(0).value, ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceWait, PausedServiceIsNotReadyAndIsNamedPausedAtEveryCheck) {
  script_.answer = [](int) { return InState(SERVICE_PAUSED); };
  EXPECT_FALSE(WaitForAgentService());
  EXPECT_EQ(script_.pauses.size(), 30u);
  EXPECT_EQ(recorder_.Numbers(Source::RunDriver), FailedChecks(31, 44));
}

TEST_F(ServiceWait, EveryStateOfAServiceNotRunningHasItsOwnMessage) {
  const std::vector<std::pair<DWORD, int>> states{{SERVICE_STOPPED, 39},         {SERVICE_START_PENDING, 40},
                                                  {SERVICE_STOP_PENDING, 41},    {SERVICE_CONTINUE_PENDING, 42},
                                                  {SERVICE_PAUSE_PENDING, 43},   {SERVICE_PAUSED, 44},
                                                  {99, 45}};
  for (const auto& [state, message] : states) {
    recorder_.Clear();
    script_.answer = [state = state](int) { return InState(state); };
    DWORD error = 0;
    EXPECT_FALSE(CheckAgentService(error));
    EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(38, message)) << state;
  }
}

TEST_F(ServiceWait, ServiceComingUpBetweenTheTwoReadingsOfACheckIsNamedByTheCatchAllMessage) {
  script_.answer = [](int reading) { return reading == 0 ? InState(SERVICE_START_PENDING) : InState(SERVICE_RUNNING); };
  DWORD error = 0;
  EXPECT_FALSE(CheckAgentService(error));
  EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(38, 45));
}

TEST_F(ServiceWait, OtherFailuresToOpenTheServiceRunTheFullCourse) {
  script_.answer = [](int) { return NotOpened(ERROR_ACCESS_DENIED); };
  EXPECT_FALSE(WaitForAgentService());
  EXPECT_EQ(script_.pauses.size(), 30u);
}

TEST_F(ServiceWait, NotInstalledReportedOnlyByALaterCheckDoesNotCutTheWaitShort) {
  script_.answer = [](int reading) {
    return reading < 2 ? InState(SERVICE_PAUSED) : NotOpened(ERROR_SERVICE_DOES_NOT_EXIST);
  };
  EXPECT_FALSE(WaitForAgentService());
  EXPECT_EQ(script_.pauses.size(), 30u);
}

TEST_F(ServiceWait, ACheckReportsTheErrorOfTheFailedServiceCall) {
  DWORD error = 0;
  script_.answer = [](int) { return NotOpened(ERROR_SERVICE_DOES_NOT_EXIST); };
  EXPECT_FALSE(CheckAgentService(error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

  script_.answer = [](int) { return ServiceStatusReading{Outcome::NotQueried, 0, ERROR_INVALID_HANDLE}; };
  EXPECT_FALSE(CheckAgentService(error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(recorder_.Find(Source::ServiceControl, 14)->args.at(0).value, ERROR_INVALID_HANDLE);

  script_.answer = [](int) { return InState(SERVICE_PAUSED); };
  EXPECT_FALSE(CheckAgentService(error));
  EXPECT_EQ(error, 0u);
}

TEST_F(ServiceWait, QueryServiceStateLeavesTheStateAloneWhenItCannotBeRead) {
  DWORD state = 99;
  script_.answer = [](int) { return NotOpened(ERROR_ACCESS_DENIED); };
  EXPECT_FALSE(QueryServiceState(nullptr, L"VelaServiceMain", state));
  EXPECT_EQ(state, 99u);
  script_.answer = [](int) { return InState(SERVICE_PAUSE_PENDING); };
  EXPECT_TRUE(QueryServiceState(nullptr, L"VelaServiceMain", state));
  EXPECT_EQ(state, static_cast<DWORD>(SERVICE_PAUSE_PENDING));
}

// The real service control manager of the prefix.
TEST(ServiceControlManager, UnknownServiceFailsToOpenWithNotInstalled) {
  CServiceManager manager;
  ASSERT_NE(manager.Get(), nullptr);
  const ServiceStatusReading reading = ReadServiceStatus(manager.Get(), L"QuillmarkNoSuchService");
  EXPECT_EQ(reading.outcome, Outcome::NotOpened);
  EXPECT_EQ(reading.error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST(ServiceControlManager, InstalledButStoppedServiceReadsAsStopped) {
  CServiceManager manager;
  ASSERT_NE(manager.Get(), nullptr);
  const std::wstring name = L"QuillmarkRunTest" + std::to_wstring(::GetCurrentProcessId());
  UniqueServiceHandle service(::CreateServiceW(
      manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, L"C:\\windows\\system32\\notepad.exe", nullptr,
      nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service) << ::GetLastError();

  DWORD error = 1;
  EXPECT_FALSE(IsServiceRunning(manager.Get(), name.c_str(), error));
  EXPECT_EQ(error, 0u);
  DWORD state = 0;
  EXPECT_TRUE(QueryServiceState(manager.Get(), name.c_str(), state));
  EXPECT_EQ(state, static_cast<DWORD>(SERVICE_STOPPED));

  ::DeleteService(service.Get());
}

TEST(ServiceControlManager, WithoutAManagerEveryServiceCallFails) {
  DWORD error = 0;
  EXPECT_FALSE(IsServiceRunning(nullptr, L"VelaServiceMain", error));
  EXPECT_NE(error, 0u);
}

}  // namespace
}  // namespace qm
