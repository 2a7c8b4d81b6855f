#pragma once

// Collection steps: the agent's identity and suite values and its connection
// settings, each read from one of the SDK's configuration items.

#include "counters/counters_inputs.h"
#include "profile/event_sink.h"
#include "sdk/sdk_session.h"

namespace qm {

class CProfileData;

// The MUID. When it cannot be read: traced, "prfNotMUID" reported to `events`,
// false, and the collection ends. An empty MUID is traced and accepted.
[[nodiscard]] bool ReadMuid(SdkSession& session, EventSink& events, CProfileData& profile);

// Suite identifier and version, country, language and custom identifier; the
// suite version's numbers and the custom identifier are kept in `inputs`.
// Every item that cannot be read is traced and leaves its field as it was.
bool CollectIdentity(SdkSession& session, CProfileData& profile, CountersInputs& inputs);

// The three connection settings, converted to text whatever their type.
bool CollectConnectionSettings(SdkSession& session, CProfileData& profile);

}  // namespace qm
