// The program's string table.
#pragma once

// Tooltip texts of the toolbar commands 300..303; null for unknown ids.
const char* LoadStringResource(unsigned id);
