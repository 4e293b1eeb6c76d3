// clean_registry.h: the registry and the change callback are process-wide, so every test that
// touches them starts and ends with both empty.
#pragma once

#include "content/roots.h"
#include "kobas.h"

class clean_registry {
 public:
  clean_registry() { wipe(); }
  ~clean_registry() { wipe(); }
  clean_registry(const clean_registry&) = delete;
  clean_registry& operator=(const clean_registry&) = delete;

 private:
  static void wipe() {
    kobas_on_change(nullptr, nullptr);
    roots_clear(roots_get());
  }
};
