// utf8_args.cpp (POSIX): the words reach main as the bytes the caller passed.
#include "utf8_args.h"

#include <cstdlib>

char** utf8_args(int, char** argv) {
  return argv;
}

std::FILE* open_utf8_for_reading(const char* path) {
  return std::fopen(path, "rb");
}

const char* env_utf8(const char* name) {
  return std::getenv(name);
}
