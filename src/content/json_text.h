// json_text.h: the one rule by which every JSON text of the system escapes names and paths.
#pragma once

struct string_builder;

// Appends S as JSON string contents (no surrounding quotes); null appends nothing.
void sb_json_text(string_builder* sb, const char* s);
