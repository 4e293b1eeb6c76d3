// version.cpp: the library's own version, independent of the "/api/version" the clients see.
#include "kobas.h"
#include "util/last_error.h"

extern "C" KOBAS_API const char* kobas_version(void) {
  set_ok();
  return "1.0.0";
}
