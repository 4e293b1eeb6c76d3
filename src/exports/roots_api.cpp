// roots_api.cpp: the exported root functions. Thin wrappers over the registry; an add that
// succeeds also runs one change pass over the new root alone, so its first fingerprint is
// taken at once without reading every other root again.
#include <cstring>

#include "content/roots.h"
#include "exports/changes.h"
#include "exports/events.h"
#include "kobas.h"
#include "util/last_error.h"
#include "util/sb.h"

namespace {

// The roots list's own result buffer; valid until the next kobas_roots_json from any thread.
constexpr size_t ROOTS_JSON_BYTES = 393216;
char s_out[ROOTS_JSON_BYTES];

}  // namespace

extern "C" KOBAS_API int kobas_add_root(const char* name, const char* path) {
  set_ok();
  try {
    uint64_t id = 0;
    const int rc = roots_add(roots_get(), name, path, &id);
    if (rc != 0) return rc;
    try {
      events_roots();
      poll_new_root(id);
    } catch (...) {
      // The root is registered: a failing pass must not report the add as failed.
    }
    set_ok();  // the add succeeded, whatever a change callback did on this thread meanwhile
    return 0;
  } catch (...) {
    set_error(-5, "out of memory");
    return -5;
  }
}

extern "C" KOBAS_API int kobas_remove_root(const char* name) {
  set_ok();
  try {
    const int rc = roots_remove(roots_get(), name);
    if (rc == 0) events_roots();
    return rc;
  } catch (...) {
    set_error(-5, "out of memory");
    return -5;
  }
}

extern "C" KOBAS_API int kobas_root_count(void) {
  set_ok();
  root_registry* r = roots_get();
  plat_lock_guard hold(&r->lock);
  return r->count;
}

extern "C" KOBAS_API const char* kobas_roots_json(void) {
  set_ok();
  try {
    sb_owner text;
    roots_json(roots_get(), text.get(), ROOTS_JSON_BYTES);
    // Only a builder that could not grow lacks its closing bracket; an empty list is still true.
    if (text.len() < 2 || text.str()[text.len() - 1] != ']') return "[]";
    std::memcpy(s_out, text.str(), text.len() + 1);
    return s_out;
  } catch (...) {
    set_error(-5, "out of memory");
    return "";
  }
}
