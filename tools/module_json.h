// The loaded module's records as JSON (zevora-cli info).
#pragma once

#include <string>

// Describes the module now loaded in moduleState.
std::string ModuleJson();
