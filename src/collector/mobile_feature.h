#pragma once

// The agent's mobile feature, as its settings library reports it.

#include "collector/settings_hub.h"

namespace qm {

// Loads the settings library from the agent's folder and asks it for
// "REGISTER.AgentFeatures.Mobile"; true exactly when the setting is "1". The
// library is freed on every path.
[[nodiscard]] bool IsMobileFeatureEnabled(const SettingsLibraryLoader& loader);

}  // namespace qm
