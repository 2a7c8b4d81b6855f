#pragma once

// Calls into modules that were built apart from the program (the agent's
// communications and settings libraries). Whatever such a module raises
// reaches our frames as a structured exception: a C++ exception of its own
// runtime (code 0xE06D7363) or a fault such as an access violation. Our C++
// handlers never see either, so each call into such a module goes through
// GuardedCall, which turns a structured exception into a failed call carrying
// its code. Our own C++ exceptions keep their ordinary course.
//
// The guard also answers for what a call leaves behind: it puts back the
// thread's floating-point modes on both ways out, re-arms the stack's guard
// page after a stack overflow (support/thread_repair.h), and holds each call
// to the deadline of support/foreign_call_deadline.h once the program watches
// foreign calls.

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace qm {

// What ended a guarded call: the structured exception's code (0xC0000005 for
// an access violation, 0xE06D7363 for another runtime's C++ exception).
struct ForeignFault {
  std::uint32_t code = 0;
};

// Raised by CallForeign: a foreign module's call ended by a structured exception.
class ForeignCallError : public std::runtime_error {
 public:
  ForeignCallError(const char* operation, std::uint32_t code)
      : std::runtime_error("a foreign module raised a structured exception"),
        operation_(operation),
        code_(code) {}
  // The name the caller gave the call, for its trace.
  [[nodiscard]] const char* Operation() const noexcept { return operation_; }
  [[nodiscard]] std::uint32_t Code() const noexcept { return code_; }

 private:
  const char* operation_;
  std::uint32_t code_;
};

namespace guarded_detail {

using Invoke = void (*)(void* context) noexcept;

// Runs invoke(context) inside a structured-exception frame, under the
// deadline, as the call named `operation`. True when it returned; false when
// a structured exception ended it, the frames it left unwound and its code in
// `fault`.
[[nodiscard]] bool RunGuarded(const char* operation, Invoke invoke, void* context,
                              ForeignFault& fault) noexcept;

// Carries the call, its result and any C++ exception of ours past the frame.
template <typename Call, typename Result>
struct Job {
  Call* call;
  Result* result;
  std::exception_ptr error;

  static void Run(void* context) noexcept {
    auto* job = static_cast<Job*>(context);
    try {
      if constexpr (std::is_void_v<Result>) {
        (*job->call)();
      } else {
        *job->result = (*job->call)();
      }
    } catch (...) {
      job->error = std::current_exception();
    }
  }
};

}  // namespace guarded_detail

// Calls `call` (one call into a foreign module, named by `operation`, a
// literal) under the guard. A result-returning call gives its result, or
// nullopt when a structured exception ended it; a void call gives true, or
// false. The code is left in `fault`. A C++ exception of ours thrown inside
// `call` passes through unchanged. Results are plain values (pointers,
// booleans, integers).
template <typename Call>
[[nodiscard]] auto GuardedCall(const char* operation, ForeignFault& fault, Call&& call) {
  using Result = std::invoke_result_t<Call&>;
  using CallType = std::remove_reference_t<Call>;
  if constexpr (std::is_void_v<Result>) {
    guarded_detail::Job<CallType, void> job{&call, nullptr, nullptr};
    const bool returned = guarded_detail::RunGuarded(operation, &decltype(job)::Run, &job, fault);
    if (job.error) std::rethrow_exception(job.error);
    return returned;
  } else {
    static_assert(std::is_trivially_copyable_v<Result>, "a foreign call returns a plain value");
    Result value{};
    guarded_detail::Job<CallType, Result> job{&call, &value, nullptr};
    const bool returned = guarded_detail::RunGuarded(operation, &decltype(job)::Run, &job, fault);
    if (job.error) std::rethrow_exception(job.error);
    return returned ? std::optional<Result>(value) : std::nullopt;
  }
}

// The same, for callers whose failure handling is a C++ handler: the call's
// result, or ForeignCallError carrying `operation` (a literal naming the
// call) and the structured exception's code.
template <typename Call>
auto CallForeign(const char* operation, Call&& call) {
  ForeignFault fault;
  auto outcome = GuardedCall(operation, fault, std::forward<Call>(call));
  if (!outcome) throw ForeignCallError(operation, fault.code);
  if constexpr (!std::is_same_v<decltype(outcome), bool>) return *outcome;
}

}  // namespace qm
