// Path mapping: every fixed path the system opens, checks, creates or runs
// goes through here. On the board APPLIANCE_ROOT is unset and paths are used
// as written; tests and the demo point it at a private folder.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Writes APPLIANCE_ROOT (nothing when unset or empty) followed by `path` into
// `out` (size bytes, always terminated). Returns 0, or -1 when the mapped
// path does not fit (out then holds an empty text, so it names nothing).
int zunpath_map(const char *path, char *out, size_t size);

// The same, as a string (never cut).
std::string zunpath(std::string_view path);
