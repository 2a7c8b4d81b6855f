#include "common/sdk_section.h"

#include "common/json_node.h"
#if defined(QM_SIM_HAVE_SDK_SCENARIO)
#include "sdk/sdk_scenario.h"
#endif

namespace qm::sim {

void ValidateSdkSection(const nlohmann::ordered_json& section) {
#if defined(QM_SIM_HAVE_SDK_SCENARIO)
  (void)ParseSdkScenario(section);
#else
  JsonNode(section, "sdk").ExpectObject();  // the SDK stand-in is not part of this build
#endif
}

}  // namespace qm::sim
