// utf8_args.cpp (POSIX): the words reach main as the bytes the caller passed.
#include "utf8_args.h"

char** utf8_args(int, char** argv) {
  return argv;
}
