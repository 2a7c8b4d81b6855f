#pragma once

// The communications library's side for the upload and tracking tests: every
// call lands in one transcript, e.g. "GetUtil Open(id|host|service|42|21.2.1|muid|1)
// Settings(16|a|<null>|c) Send(ProfilerQueue|C:\x.dat) Close(channel)" or
// "Create(url) Start(muid|custom|event) Prepare Add(name=value) Submit(0|7) Release".

#include <windows.h>

#include <concepts>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "upload/link_binding.h"
#include "upload/linkbridge.h"

namespace qm::testing {

inline std::wstring Text(const wchar_t* text) { return text == nullptr ? L"<null>" : text; }
inline std::wstring Text(std::integral auto number) { return std::to_wstring(number); }

// The parts separated by "|".
template <typename... Parts>
std::wstring Joined(const Parts&... parts) {
  std::wstring joined;
  ((joined += L"|" + Text(parts)), ...);
  return joined.substr(1);
}

class FakeLink final : public LinkUtility, public LinkChannel, public LinkRequest {
 public:
  LinkChannel* OpenChannel(const wchar_t* program_id, const wchar_t* host_name,
                           const wchar_t* service, std::int32_t suite_id,
                           const wchar_t* suite_version, const wchar_t* muid, std::int32_t mode,
                           const UploadCredentials* c) override {
    Log(L"Open(" + Joined(program_id, host_name, service, suite_id, suite_version, muid, mode) +
        L")");
    const std::wstring token(c->token, c->token + c->tokenLength);
    credentials = Joined(c->size, c->reserved[0], c->reserved[1], c->reserved[2], c->reserved[3],
                         token.c_str(), c->product, c->clientKey);
    return give_channel ? this : nullptr;
  }
  bool CloseChannel(LinkChannel* closed) override {
    Log(closed == this ? L"Close(channel)" : closed == nullptr ? L"Close(null)" : L"Close(?)");
    return close_result;
  }
  bool SetConnectionSettings(const ConnectionSettings* s) override {
    return Log(L"Settings(" + Joined(s->size, s->setting1, s->setting2, s->setting3) + L")");
  }
  bool Send(const wchar_t* queue, const wchar_t* path) override {
    Log(L"Send(" + Joined(queue, path) + L")");
    if (throw_on_send) throw std::runtime_error("transport broke");
    if (raise_on_send != 0) ::RaiseException(raise_on_send, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return send_result;
  }
  LinkRequest* CreateRequest(const wchar_t* url) override {
    return Log(L"Create(" + Text(url) + L")"), give_request ? this : nullptr;
  }
  void ReleaseRequest(LinkRequest*) override { Log(L"Release"); }
  bool Start(const wchar_t* r1, const wchar_t* r2, const wchar_t* r3, const wchar_t* muid,
             const wchar_t* custom_id, const wchar_t* event) override {
    if (Joined(r1, r2, r3) != L"||") Log(L"reserved-not-empty");
    Log(L"Start(" + Joined(muid, custom_id, event) + L")");
    return RaiseIn(L"Start"), start_result;
  }
  bool AddParameter(const wchar_t* name, const wchar_t* value) override {
    Log(L"Add(" + Text(name) + L"=" + Text(value) + L")");
    return RaiseIn(L"AddParameter"), add_result;
  }
  bool Prepare() override { return Log(L"Prepare") && prepare_result; }
  bool Submit(const ConnectionSettings* s, std::int32_t options) override {
    const std::wstring settings =
        s == nullptr ? L"0" : Joined(s->size, s->setting1, s->setting2, s->setting3);
    Log(L"Submit(" + settings + L"|" + Text(options) + L")");
    return RaiseIn(L"Submit"), submit_result;
  }

  bool Log(const std::wstring& call) { return calls += (calls.empty() ? L"" : L" ") + call, true; }
  // What a library built by another compiler raises for a C++ throw.
  void RaiseIn(std::wstring_view call) const {
    if (call == raise_in) ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }

  // The library as GetUtil hands it out; each of the first three takes one part away.
  bool loads = true, has_entry = true, gives_utility = true;
  bool give_channel = true, close_result = true, send_result = true, throw_on_send = false;
  bool give_request = true, start_result = true, add_result = true;
  bool submit_result = true, prepare_result = true;
  DWORD raise_on_send = 0;
  std::wstring raise_in;  // the request call that raises, e.g. L"Submit"
  std::wstring calls, credentials;
  std::vector<std::wstring> loaded;  // the library paths asked for
};

// The link behind kFakeLibrary; each test points it at its own.
inline FakeLink* g_link = nullptr;

inline LinkUtility* FakeGetUtil() {
  g_link->Log(L"GetUtil");
  return g_link->gives_utility ? g_link : nullptr;
}
// A real module keeps the load and free counts honest; the entry is ours.
inline HMODULE LoadStandIn(const wchar_t* path) {
  g_link->loaded.push_back(path);
  if (g_link->loads) return ::LoadLibraryW(L"kernel32.dll");
  ::SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}
inline LinkGetUtilFunction ResolveFake(HMODULE, const char* name) {
  return g_link->has_entry && std::string_view(name) == "GetUtil" ? &FakeGetUtil : nullptr;
}
inline const LinkBridgeLoader kFakeLibrary{&LoadStandIn, &ResolveFake};

}  // namespace qm::testing
