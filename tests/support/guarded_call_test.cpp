#include "support/guarded_call.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <stdexcept>

#include "support/unique_resource.h"

namespace qm {
namespace {

void* ChainTop() {
  NT_TIB* block;  // as foreign_faults.cpp reads it
  __asm__ __volatile__("movl %%fs:0x18, %0" : "=r"(block) : : "memory");
  return block->ExceptionList;
}

TEST(GuardedCall, ForeignEndingBecomesAFailedCallAndTheThreadCarriesOn) {
  const UniqueModule module(::LoadLibraryW(L"foreign_faults.dll"));
  const auto end_as = GetProcAddressAs<int (*)(int, volatile LONG*)>(module.Get(), "EndAs");
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
    EXPECT_EQ(GuardedCall(fault, [&] { return end_as(c.how, &unwound); }), c.result);
    EXPECT_EQ(fault.code, c.code);
    EXPECT_EQ(unwound, c.unwound);
    EXPECT_EQ(ChainTop(), top);
    // Our own C++ exceptions keep their course afterwards, also through the guard.
    EXPECT_THROW((void)GuardedCall(fault, [] { throw std::logic_error("ours"); }),
                 std::logic_error);
    EXPECT_EQ(ChainTop(), top);
  }
  EXPECT_THROW(CallForeign("EndAs", [&] { return end_as(2, nullptr); }), ForeignCallError);
}

}  // namespace
}  // namespace qm
