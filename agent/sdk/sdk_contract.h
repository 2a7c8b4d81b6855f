#pragma once

// What the program may ask of the SDK, held against each call as the call log
// describes it. The stand-in refuses a call outside it (E_INVALIDARG) and logs
// it as a violation, so a wrong key, type or value fails a run instead of
// passing unnoticed.

#include <nlohmann/json.hpp>
#include <string>

namespace qm::sim {

// Why `call` (a call log record, before its result) lies outside the contract;
// empty when it keeps to it. `refused_before`: the SDK has already refused part
// of what the program builds (an injected fault), so a date window or query
// entry the program could not complete may be missing; what is there must
// still be right.
[[nodiscard]] std::string ContractViolation(const nlohmann::ordered_json& call,
                                            bool refused_before);

}  // namespace qm::sim
