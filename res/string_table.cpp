#include "string_table.h"

const char* LoadStringResource(unsigned id) {
  switch (id) {
    case 300: return "Load";
    case 301: return "Stop";
    case 302: return "Pause";
    case 303: return "Muting";
    default: return nullptr;
  }
}
