// The player settings an export uses, in lines for a person and as JSON,
// for the export's plan, `tessaline drives` and `tessaline player-profile`.
// Thread: any; pure. Errors: none.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "session/PlayerProfile.h"

namespace app {

// Each setting with where it came from, then the profile's problems,
// each line indented by `indent`.
std::vector<std::string> playerSettingsLines(const session::PlayerSettings& settings,
                                             const std::string& indent);
nlohmann::json playerSettingsJson(const session::PlayerSettings& settings);

}  // namespace app
