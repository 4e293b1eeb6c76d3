// root_word.cpp: the one reading of a NAME=PATH word, shared by the listing commands, the serve
// options and the console's add line, so all three accept and refuse the same words.
#include <cstring>

#include "cli.h"

root_word split_root_word(const char* word, char (&name)[k_root_name_bytes], const char** path) {
  const char* eq = std::strchr(word, '=');
  if (eq == nullptr || eq == word) return root_word::malformed;
  const std::size_t name_len = static_cast<std::size_t>(eq - word);
  if (name_len > k_root_name_bytes - 1) return root_word::name_too_long;
  std::memcpy(name, word, name_len);
  name[name_len] = '\0';
  *path = eq + 1;
  return root_word::ok;
}
