#include "support/guarded_call.h"

#include <windows.h>

#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "support/unique_resource.h"

namespace qm {
namespace {

NT_TIB* ThreadBlock() {
#if defined(_MSC_VER)
  return reinterpret_cast<NT_TIB*>(::NtCurrentTeb());
#else
  NT_TIB* block;  // GCC 12 warns on NtCurrentTeb's fs read; the self pointer is at fs:[0x18]
  __asm__ __volatile__("movl %%fs:0x18, %0" : "=r"(block) : : "memory");
  return block;
#endif
}

using Export = int (*)();

void* ChainTop() { return ThreadBlock()->ExceptionList; }

class GuardedCallTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(module_) << ::GetLastError(); }
  template <typename F>
  F Find(const char* name) {
    return GetProcAddressAs<F>(module_.Get(), name);
  }
  UniqueModule module_{::LoadLibraryW(L"foreign_faults.dll")};
};

struct Ending {
  const char* export_name;
  std::optional<std::uint32_t> fault;  // none: the call returns 7
};

TEST_F(GuardedCallTest, ForeignEndingBecomesFailedCallAndRunGoesOn) {
  const Ending endings[] = {{"ReturnSeven", std::nullopt},
                            {"RaiseCxxException", 0xE06D7363u},
                            {"FaultWithAccessViolation", 0xC0000005u}};
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.export_name);
    const auto call = Find<Export>(ending.export_name);
    ASSERT_NE(call, nullptr);
    void* const top = ChainTop();
    ForeignFault fault;
    const std::optional<int> result = GuardedCall(fault, [&] { return call(); });
    EXPECT_EQ(ChainTop(), top);
    if (ending.fault) {
      EXPECT_FALSE(result);
      EXPECT_EQ(fault.code, *ending.fault);
      EXPECT_THROW(CallForeign("call", [&] { return call(); }), ForeignCallError);
    } else {
      EXPECT_EQ(result, 7);
    }
    // The thread carries on as before: another guarded call and our own C++ exceptions.
    ForeignFault second;
    EXPECT_EQ(GuardedCall(second, [&] { return Find<Export>("ReturnSeven")(); }), 7);
    EXPECT_THROW(throw std::runtime_error("ours"), std::runtime_error);
  }
}

TEST_F(GuardedCallTest, ForeignFramesGetTheirUnwindingPass) {
  const auto call = Find<int (*)(volatile LONG*)>("FaultInsideOwnFrame");
  ASSERT_NE(call, nullptr);
  volatile LONG unwound = 0;
  ForeignFault fault;
  EXPECT_FALSE(GuardedCall(fault, [&] { return call(&unwound); }));
  EXPECT_EQ(fault.code, 0xC0000005u);
  EXPECT_EQ(unwound, 1);
}

TEST_F(GuardedCallTest, OurOwnExceptionPassesThroughTheGuard) {
  void* const top = ChainTop();
  ForeignFault fault;
  EXPECT_THROW((void)GuardedCall(fault, [] { throw std::logic_error("ours"); }), std::logic_error);
  EXPECT_EQ(ChainTop(), top);
  bool ran = false;
  EXPECT_TRUE(GuardedCall(fault, [&] { ran = true; }));
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace qm
