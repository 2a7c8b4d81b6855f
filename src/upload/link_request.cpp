#include "upload/link_request.h"

namespace qm {
namespace {

// The first three texts of Start are reserved by the library.
constexpr wchar_t kReserved[] = L"";

bool FillAndSubmit(LinkRequest& request, const LinkRequestArgs& args) {
  if (!request.Start(kReserved, kReserved, kReserved, args.muid, args.custom_id, args.event_name)) {
    return false;
  }
  if (args.parameters.empty() || !request.Prepare()) return false;
  for (const auto& [name, value] : args.parameters) {
    if (!request.AddParameter(name.c_str(), value.c_str())) return false;
  }
  return request.Submit(args.settings, kLinkSubmitOptions);
}

}  // namespace

bool SubmitLinkRequest(LinkUtility& utility, const LinkRequestArgs& args) {
  LinkRequest* request = utility.CreateRequest(args.url);
  if (request == nullptr) return false;
  bool submitted = false;
  try {
    submitted = FillAndSubmit(*request, args);
  } catch (...) {
    // The request is the library's: it goes back whatever ended the exchange.
    utility.ReleaseRequest(request);
    throw;
  }
  utility.ReleaseRequest(request);
  return submitted;
}

}  // namespace qm
