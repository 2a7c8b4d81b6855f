#include "support/guarded_call.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/foreign_call_deadline.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

void* ChainTop() {
  NT_TIB* block;  // as foreign_faults.cpp reads it
  __asm__ __volatile__("movl %%fs:0x18, %0" : "=r"(block) : : "memory");
  return block->ExceptionList;
}

class ForeignFaults : public ::testing::Test {
 protected:
  template <typename Function>
  Function Export(const char* name) const {
    const auto function = GetProcAddressAs<Function>(module_.Get(), name);
    EXPECT_NE(function, nullptr) << name;
    return function;
  }
  const UniqueModule module_{::LoadLibraryW(L"foreign_faults.dll")};
};

TEST_F(ForeignFaults, ForeignEndingBecomesAFailedCallAndTheThreadCarriesOn) {
  const auto end_as = Export<int (*)(int, volatile LONG*)>("EndAs");
  ASSERT_NE(end_as, nullptr);
  const struct {
    int how;
    std::optional<int> result;
    std::uint32_t code;
    LONG unwound;
  } cases[] = {{1, std::nullopt, 0xE06D7363, 0},
               {2, std::nullopt, 0xC0000005, 0},
               {3, std::nullopt, 0xC0000005, 1},
               {0, 7, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    void* const top = ChainTop();
    volatile LONG unwound = 0;
    ForeignFault fault;
    EXPECT_EQ(GuardedCall("EndAs", fault, [&] { return end_as(c.how, &unwound); }), c.result);
    EXPECT_EQ(fault.code, c.code);
    EXPECT_EQ(unwound, c.unwound);
    EXPECT_EQ(ChainTop(), top);
    // Our own C++ exceptions keep their course afterwards, also through the guard.
    EXPECT_THROW((void)GuardedCall("ours", fault, [] { throw std::logic_error("ours"); }),
                 std::logic_error);
    EXPECT_EQ(ChainTop(), top);
  }
  EXPECT_THROW(CallForeign("EndAs", [&] { return end_as(2, nullptr); }), ForeignCallError);
}

// The modes and the arithmetic of this thread as the program relies on them.
struct Arithmetic {
  unsigned short x87_control = 0;
  unsigned int mxcsr = 0;
  double third = 0;
};
Arithmetic ReadArithmetic() {
  Arithmetic now;
  __asm__ __volatile__("fnstcw %0\n\tstmxcsr %1" : "=m"(now.x87_control), "=m"(now.mxcsr));
  volatile double one = 1.0, three = 3.0;
  now.third = one / three;
  return now;
}

// A library that leaves single precision, another rounding, unmasked invalid
// operations and a full x87 stack, on its way back or before a fault: our
// next division would give a single-precision third, or fault outright.
TEST_F(ForeignFaults, GuardPutsBackTheFloatingPointModesOnBothWaysOut) {
  const auto leave_modes = Export<int (*)(int)>("LeaveModes");
  ASSERT_NE(leave_modes, nullptr);
  const Arithmetic before = ReadArithmetic();
  for (const bool fault_after : {false, true}) {
    SCOPED_TRACE(fault_after);
    ForeignFault fault;
    EXPECT_EQ(
        GuardedCall("LeaveModes", fault, [&] { return leave_modes(fault_after); }).has_value(),
        !fault_after);
    const Arithmetic after = ReadArithmetic();
    EXPECT_EQ(after.x87_control, before.x87_control);
    EXPECT_EQ(after.mxcsr, before.mxcsr);
    EXPECT_EQ(after.third, before.third);
  }
}

// Without a new guard page the second overflow finds none and the process
// ends, under Wine quietly with exit code 0: the rounds run in a child that
// must reach an exit code of its own.
TEST_F(ForeignFaults, EveryStackOverflowIsContainedNotOnlyTheFirst) {
  const auto overflow = Export<int (*)()>("Overflow");
  ASSERT_NE(overflow, nullptr);
  EXPECT_EXIT(
      {
        for (int round = 1; round <= 3; ++round) {
          ForeignFault fault;
          if (GuardedCall("Overflow", fault, [&] { return overflow(); }) ||
              fault.code != 0xC00000FDu) {
            std::exit(round);
          }
        }
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

std::atomic<const char*> g_stuck_operation{nullptr};
std::atomic<std::uint32_t> g_stuck_waited{0};

void NoteStuckCall(const char* operation, std::uint32_t waited_ms) noexcept {
  g_stuck_operation = operation;
  g_stuck_waited = waited_ms;
}

// The program's course ends the process; this one returns, so the call goes on.
TEST_F(ForeignFaults, CallPastItsDeadlineGoesToTheCourseWhileASlowOneWithinItDoesNot) {
  const auto hang_for = Export<int (*)(DWORD)>("HangFor");
  ASSERT_NE(hang_for, nullptr);
  const struct {
    DWORD stays_ms;
    std::uint32_t deadline_ms;
    bool stuck;
  } cases[] = {{400, 150, true}, {50, 2000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stays_ms);
    g_stuck_operation = nullptr;
    ASSERT_TRUE(WatchForeignCalls(c.deadline_ms, &NoteStuckCall));
    ForeignFault fault;
    EXPECT_EQ(GuardedCall("HangFor", fault, [&] { return hang_for(c.stays_ms); }), 7);
    ASSERT_TRUE(WatchForeignCalls(0, nullptr));
    if (!c.stuck) {
      EXPECT_EQ(g_stuck_operation.load(), nullptr);
      continue;
    }
    ASSERT_NE(g_stuck_operation.load(), nullptr);
    EXPECT_EQ(std::string(g_stuck_operation.load()), "HangFor");
    EXPECT_GE(g_stuck_waited.load(), c.deadline_ms);
  }
}

}  // namespace
}  // namespace qm
