#include "upload/profile_uploader.h"

#include <cstdint>

#include "diagnostics/trace.h"
#include "profile/profile_data.h"
#include "support/guarded_call.h"
#include "upload/agent_identity.h"

namespace qm {
namespace {

constexpr char kLinkBridgeLibraryNarrow[] = "linkbridge.dll";
// The credentials the library expects from this program.
constexpr char kUploadToken[] = "9f03c7e2a58d41b6e7102fa39c64d85b";
constexpr wchar_t kUploadProduct[] = L"TVN";
constexpr wchar_t kUploadClientKey[] = L"5e2b9c41-7d3a-4f86-b0e9-2c71a4d8f365";
// What the library reads as the channel's mode; this program always opens it the same way.
constexpr std::int32_t kChannelMode = 1;

UploadCredentials MakeCredentials() noexcept {
  UploadCredentials credentials{};
  credentials.size = kUploadCredentialsSize;
  credentials.token = kUploadToken;
  credentials.tokenLength = sizeof(kUploadToken) - 1;
  credentials.product = kUploadProduct;
  credentials.clientKey = kUploadClientKey;
  return credentials;
}

// A setting goes into the record only when it has text; absent ones are 0.
const wchar_t* PresentOrNull(const std::wstring& text) noexcept {
  return text.empty() ? nullptr : text.c_str();
}

// Closes a channel on the way out of a failed upload; what the close itself
// raises is dropped, the failure that brought us here is the one reported.
void CloseChannelAfterFailure(LinkUtility& utility, LinkChannel* channel) noexcept {
  ForeignFault dropped;
  (void)GuardedCall("CloseChannel", dropped, [&] { return utility.CloseChannel(channel); });
}

}  // namespace

ProfileUploader::ProfileUploader(const IProfileDataObserver* profile, LinkBridgeLoader loader)
    : link_(loader), profile_(profile) {
  host_name_ = ReadAgentHostName();
  (void)LoadLinkBridge();
}

ProfileUploader::~ProfileUploader() { (void)UnloadLinkBridge(); }

bool ProfileUploader::LoadLinkBridge() {
  if (link_.IsBound()) {
    QM_TRACE(Upload, 20, Error, Upload);
    return false;
  }
  switch (link_.Bind(kLinkBridgeLibrary)) {
    case LinkBinding::Outcome::NotLoaded:
      QM_TRACE(Upload, 21, Error, Upload, trace::Narrow(kLinkBridgeLibraryNarrow),
               trace::Int(::GetLastError()));
      return false;
    case LinkBinding::Outcome::NoEntry:
      QM_TRACE(Upload, 22, Error, Upload, trace::Narrow(kLinkGetUtilExport),
               trace::Int(::GetLastError()));
      return false;
    case LinkBinding::Outcome::Bound:
      break;
  }
  QM_TRACE(Upload, 23, Info, Upload, trace::Narrow(kLinkBridgeLibraryNarrow));
  return true;
}

bool ProfileUploader::UnloadLinkBridge() {
  if (!link_.IsBound()) {
    QM_TRACE(Upload, 25, Error, Upload);
    return false;
  }
  link_.Free();
  QM_TRACE(Upload, 26, Info, Upload, trace::Narrow(kLinkBridgeLibraryNarrow));
  return true;
}

bool ProfileUploader::UploadProfile(const std::wstring& data_file_path) noexcept {
  try {
    if (data_file_path.empty()) {
      QM_TRACE(Upload, 10, Error, Upload);
      return false;
    }
    if (!link_.IsBound()) {
      QM_TRACE(Upload, 11, Error, Upload);
      return false;
    }
    return SendThroughLibrary(data_file_path);
  } catch (const ForeignCallError& error) {
    QM_TRACE(Upload, 46, Error, Upload, trace::Narrow(error.Operation()), trace::Int(error.Code()));
    QM_TRACE(Upload, 19, Error, Upload, trace::Int(::GetLastError()));
    return false;
  } catch (...) {
    QM_TRACE(Upload, 19, Error, Upload, trace::Int(::GetLastError()));
    return false;
  }
}

bool ProfileUploader::SendThroughLibrary(const std::wstring& data_file_path) {
  // Every call into the library is guarded: it is built apart from the
  // program, so its failures arrive as structured exceptions.
  LinkUtility* utility = link_.Utility();
  if (utility == nullptr) {
    QM_TRACE(Upload, 47, Error, Upload);
    return false;
  }
  const UploadCredentials credentials = MakeCredentials();
  const std::wstring suite_version = SuiteVersionOrDefault(profile_);
  const std::wstring muid = MUIDOrDefault(profile_);
  const std::wstring program_id = BuildProgramIdentifier();
  const auto suite_id = static_cast<std::int32_t>(profile_ != nullptr ? profile_->GetSuiteID() : 0);

  LinkChannel* channel = CallForeign("OpenChannel", [&] {
    return utility->OpenChannel(program_id.c_str(), host_name_.c_str(), kUploadServiceName,
                                suite_id, suite_version.c_str(), muid.c_str(), kChannelMode,
                                &credentials);
  });
  bool sent = false;
  if (channel != nullptr) {
    try {
      ApplyConnectionSettings(*channel);
      sent = CallForeign("Send",
                         [&] { return channel->Send(kUploadQueueName, data_file_path.c_str()); });
    } catch (...) {
      // The channel is the library's: it is closed whatever ended the upload.
      CloseChannelAfterFailure(*utility, channel);
      throw;
    }
    QM_TRACE(Upload, 16, Info, Upload, trace::Narrow(sent ? "succeeded" : "failed!!"));
  } else {
    QM_TRACE(Upload, 17, Error, Upload);
  }
  if (!CallForeign("CloseChannel", [&] { return utility->CloseChannel(channel); })) {
    QM_TRACE(Upload, 18, Error, Upload);
    sent = false;
  }
  return sent;
}

void ProfileUploader::ApplyConnectionSettings(LinkChannel& channel) const {
  const std::wstring setting1 = profile_ != nullptr ? profile_->GetConnectionSetting1() : L"";
  if (setting1.empty()) {
    QM_TRACE(Upload, 15, Info, Upload);
    return;
  }
  const std::wstring setting2 = profile_->GetConnectionSetting2();
  const std::wstring setting3 = profile_->GetConnectionSetting3();
  ConnectionSettings settings{kConnectionSettingsSize, setting1.c_str(), PresentOrNull(setting2),
                              PresentOrNull(setting3)};
  QM_TRACE(Upload, 12, Info, Upload, trace::AnsiOf(setting1));
  if (settings.setting2 != nullptr) QM_TRACE(Upload, 13, Info, Upload, trace::AnsiOf(setting2));
  if (settings.setting3 != nullptr) QM_TRACE(Upload, 14, Info, Upload, trace::AnsiOf(setting3));
  (void)CallForeign("SetConnectionSettings",
                    [&] { return channel.SetConnectionSettings(&settings); });
}

}  // namespace qm
