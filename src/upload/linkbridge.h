#pragma once

// Calling surface of the agent's communications library ("linkbridge.dll").
// The library is outside the program; the program reaches it through the one
// export `GetUtil`. The layout of these interfaces and records is the
// library's binary contract: slot order and record sizes must not change.

#include <cstdint>

namespace qm {

class LinkChannel;
class LinkRequest;

// Credentials handed to OpenChannel: nine 32-bit words.
struct UploadCredentials {
  std::uint32_t size;         // 36
  std::uint32_t reserved[4];  // all 0
  const char* token;          // narrow, not terminated as far as the library is concerned
  std::uint32_t tokenLength;  // characters of token
  const wchar_t* product;     // wide, terminated
  const wchar_t* clientKey;   // wide, terminated
};

// Connection texts handed to SetConnectionSettings and Submit: four 32-bit words.
struct ConnectionSettings {
  std::uint32_t size;       // 16
  const wchar_t* setting1;  // never null in a record that is passed
  const wchar_t* setting2;  // null when absent
  const wchar_t* setting3;  // null when absent
};

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(UploadCredentials) == 36, "UploadCredentials is nine 32-bit words");
static_assert(sizeof(ConnectionSettings) == 16, "ConnectionSettings is four 32-bit words");
#endif

inline constexpr std::uint32_t kUploadCredentialsSize = 36;
inline constexpr std::uint32_t kConnectionSettingsSize = 16;

// The library's root object. Owned by the library; never released by callers.
class LinkUtility {
 public:
  // Returns a channel to `serviceName`, or null. Callers always pass the
  // result (also null) to CloseChannel.
  virtual LinkChannel* OpenChannel(const wchar_t* programId, const wchar_t* hostName,
                                   const wchar_t* serviceName, std::int32_t suiteId,
                                   const wchar_t* suiteVersion, const wchar_t* muid,
                                   std::int32_t mode, const UploadCredentials* credentials) = 0;
  // Ends a channel (null accepted); false when it did not close cleanly.
  virtual bool CloseChannel(LinkChannel* channel) = 0;
  // Returns a web request to `url`, or null; released with ReleaseRequest.
  virtual LinkRequest* CreateRequest(const wchar_t* url) = 0;
  virtual void ReleaseRequest(LinkRequest* request) = 0;

 protected:
  ~LinkUtility() = default;
};

// A channel to one service, alive from OpenChannel to CloseChannel.
class LinkChannel {
 public:
  virtual bool SetConnectionSettings(const ConnectionSettings* settings) = 0;
  // True when the library accepted the file for delivery to `queueName`.
  virtual bool Send(const wchar_t* queueName, const wchar_t* filePath) = 0;

 protected:
  ~LinkChannel() = default;
};

// One web request, alive from CreateRequest to ReleaseRequest.
class LinkRequest {
 public:
  virtual bool Start(const wchar_t* reserved1, const wchar_t* reserved2, const wchar_t* reserved3,
                     const wchar_t* muid, const wchar_t* customId, const wchar_t* eventName) = 0;
  virtual bool AddParameter(const wchar_t* name, const wchar_t* value) = 0;
  virtual bool Prepare() = 0;
  // settings may be null.
  virtual bool Submit(const ConnectionSettings* settings, std::int32_t options) = 0;

 protected:
  ~LinkRequest() = default;
};

// The library's export "GetUtil".
using LinkGetUtilFunction = LinkUtility* (*)();

inline constexpr char kLinkGetUtilExport[] = "GetUtil";

}  // namespace qm
