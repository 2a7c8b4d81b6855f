#include "upload/link_request.h"

#include "support/guarded_call.h"

namespace qm {
namespace {

// The first three texts of Start are reserved by the library.
constexpr wchar_t kReserved[] = L"";

bool FillAndSubmit(LinkRequest& request, const LinkRequestArgs& args) {
  if (!CallForeign("Start", [&] {
        return request.Start(kReserved, kReserved, kReserved, args.muid, args.custom_id,
                             args.event_name);
      })) {
    return false;
  }
  if (args.parameters.empty()) return false;
  // Prepare's answer does not decide anything: the parameters and the
  // submission that follow do.
  (void)CallForeign("Prepare", [&] { return request.Prepare(); });
  for (const auto& [name, value] : args.parameters) {
    if (!CallForeign("AddParameter",
                     [&] { return request.AddParameter(name.c_str(), value.c_str()); })) {
      return false;
    }
  }
  return CallForeign("Submit", [&] { return request.Submit(args.settings, kLinkSubmitOptions); });
}

}  // namespace

bool SubmitLinkRequest(LinkUtility& utility, const LinkRequestArgs& args) {
  LinkRequest* request =
      CallForeign("CreateRequest", [&] { return utility.CreateRequest(args.url); });
  if (request == nullptr) return false;
  bool submitted = false;
  try {
    submitted = FillAndSubmit(*request, args);
  } catch (...) {
    // The request is the library's: it goes back whatever ended the exchange;
    // what the release itself raises is dropped for the fault that brought us here.
    ForeignFault dropped;
    (void)GuardedCall("ReleaseRequest", dropped, [&] { utility.ReleaseRequest(request); });
    throw;
  }
  (void)CallForeign("ReleaseRequest", [&] { utility.ReleaseRequest(request); });
  return submitted;
}

}  // namespace qm
