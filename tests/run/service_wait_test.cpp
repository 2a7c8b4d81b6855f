// The wait for the agent service, run through scripted service states so the
// whole 300-second course takes milliseconds. The real service control manager
// (and the service's name) is read by every end-to-end run: a running service,
// and one not installed (which must end the wait at once).
#include "run/service_wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "diagnostics/trace_recorder.h"

namespace qm {
namespace {

using Outcome = ServiceStatusReading::Outcome;
using ::testing::ElementsAre;
using trace::Source;

// The script's answer: `first` until the reading numbered `from`, then `then`.
struct Answer {
  ServiceStatusReading first, then;
  int from;
};

// What the scripted platform answers and what it was asked.
struct Script {
  Answer answer;
  int readings;
  std::vector<DWORD> pauses;
};

Answer Always(ServiceStatusReading reading) { return {reading, reading, INT_MAX}; }
ServiceStatusReading InState(DWORD state) { return {Outcome::Read, state, 0}; }
ServiceStatusReading NotOpened(DWORD error) { return {Outcome::NotOpened, 0, error}; }

// The run driver's messages of `checks` checks that each found `state_message`.
std::vector<int> FailedChecks(int checks, int state_message) {
  std::vector<int> numbers{38, state_message, 36};
  for (int i = 1; i < checks; ++i) numbers.insert(numbers.end(), {38, state_message});
  return numbers;
}

class ServiceWait : public ::testing::Test {
 protected:
  ServiceWait() {
    scripted_.read_status = [this](SC_HANDLE, const wchar_t*) {
      const Answer& answer = script_.answer;
      return ++script_.readings > answer.from ? answer.then : answer.first;
    };
    scripted_.pause = [this](DWORD milliseconds) { script_.pauses.push_back(milliseconds); };
  }
  // Starts a new script answering `answer`, with the trace cleared.
  void Answering(Answer answer) {
    script_ = Script{answer, 0, {}};
    recorder_.Clear();
  }

  // Each check reads the status once, plus once more when it is not running.
  Script script_;
  ServiceWaitPlatform scripted_;
  trace::TraceRecorder recorder_{5, trace::flags::Run};
};

TEST_F(ServiceWait, EachCourseChecksAndPausesAsOftenAsItsBudgetAllows) {
  const std::vector<int> kUnchecked;
  const struct {
    const char* name;
    Answer answer;
    bool ready;
    int readings;
    std::size_t pauses;
    std::vector<int> messages;
  } courses[] = {
      {"running at once", Always(InState(SERVICE_RUNNING)), true, 1, 0, std::vector{38, 46}},
      // Check 1 and re-checks 1 and 2 read twice, re-check 3 finds it running.
      {"starts after the second re-check",
       Answer{InState(SERVICE_START_PENDING), InState(SERVICE_RUNNING), 6}, true, 7, 3,
       std::vector{38, 40, 36, 38, 40, 38, 40, 38, 46}},
      {"never starts", Always(InState(SERVICE_STOPPED)), false, 62, 30, FailedChecks(31, 39)},
      // The state cannot be read either, so the check names no state it knows.
      {"not installed", Always(NotOpened(ERROR_SERVICE_DOES_NOT_EXIST)), false, 2, 0,
       std::vector{38, 45, 37}},
      {"not opened for another reason", Always(NotOpened(ERROR_ACCESS_DENIED)), false, 62, 30,
       FailedChecks(31, 45)},
      {"not installed only at a later check",
       Answer{InState(SERVICE_PAUSED), NotOpened(ERROR_SERVICE_DOES_NOT_EXIST), 2}, false, 62, 30,
       kUnchecked},
  };
  for (const auto& course : courses) {
    SCOPED_TRACE(course.name);
    Answering(course.answer);
    EXPECT_EQ(WaitForAgentService(scripted_), course.ready);
    EXPECT_EQ(script_.readings, course.readings);
    EXPECT_EQ(script_.pauses, std::vector<DWORD>(course.pauses, 10000));
    if (!course.messages.empty()) {
      EXPECT_EQ(recorder_.Numbers(Source::RunDriver), course.messages);
    }
  }
}

TEST_F(ServiceWait, ACheckNamesTheStateItFoundAndTheErrorOfAFailedServiceCall) {
  const struct {
    Answer answer;
    int message;
    DWORD error;
    int control;  // the service-control message carrying `error`; 0: none looked at
  } checks[] = {
      // stopped and start pending: the courses above
      {Always(InState(SERVICE_STOP_PENDING)), 41, 0, 0},
      {Always(InState(SERVICE_CONTINUE_PENDING)), 42, 0, 0},
      {Always(InState(SERVICE_PAUSE_PENDING)), 43, 0, 0},
      {Always(InState(SERVICE_PAUSED)), 44, 0, 0},
      {Always(InState(99)), 45, 0, 0},
      // Coming up between the two readings of the check: the catch-all message.
      {Answer{InState(SERVICE_START_PENDING), InState(SERVICE_RUNNING), 1}, 45, 0, 0},
      {Always(NotOpened(ERROR_SERVICE_DOES_NOT_EXIST)), 45, ERROR_SERVICE_DOES_NOT_EXIST, 15},
      {Always({Outcome::NotQueried, 0, ERROR_INVALID_HANDLE}), 45, ERROR_INVALID_HANDLE, 14},
  };
  for (const auto& check : checks) {
    SCOPED_TRACE(check.message);
    Answering(check.answer);
    DWORD error = 12345;
    EXPECT_FALSE(CheckAgentService(scripted_, error));
    EXPECT_EQ(error, check.error);
    EXPECT_THAT(recorder_.Numbers(Source::RunDriver), ElementsAre(38, check.message));
    if (check.control != 0) {
      EXPECT_EQ(recorder_.Find(Source::ServiceControl, check.control)->args.at(0).value,
                static_cast<std::int32_t>(check.error));
    }
  }
  Answering(Always(InState(SERVICE_RUNNING)));
  DWORD error = 1;
  EXPECT_TRUE(CheckAgentService(scripted_, error));
  EXPECT_THAT(recorder_.Numbers(Source::ServiceControl), ElementsAre(13));
  EXPECT_EQ(recorder_.Find(Source::ServiceControl, 13)->args.at(0).value, SERVICE_RUNNING);
}

}  // namespace
}  // namespace qm
