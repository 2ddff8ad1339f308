// Resource names of the program's data blocks.
#pragma once

// The built-in demo module (kind 0 source name).
constexpr const char* kDemoModuleName = "DEMO";
