// Placeholder substitution in templates, and whole-file loading.
#pragma once

#include "util/strings.h"

// Replaces every occurrence of placeholder in the text held by slot with
// replacement (absent counts as empty). An occurrence matches the
// placeholder's first byte exactly and the rest with ASCII case ignored.
// Scanning resumes right after each inserted replacement, so inserted text
// is never re-read and adjacent occurrences are all replaced. Nothing
// happens when the slot is empty, the placeholder is empty, or the
// replacement contains the placeholder (ASCII case ignored).
void substitute(OptionalText& slot, std::string_view placeholder, const OptionalText& replacement);

// text without the lines that hold placeholder (matched as substitute
// matches it), each left out with its newline; the other lines stay as they
// are. An empty placeholder leaves the text as it is.
std::string without_lines_holding(std::string_view text, std::string_view placeholder);

// The whole content of the file at path, read with one read(2), up to its
// first NUL byte; nothing when the file cannot be read completely, which is
// logged as "WARN/IO <path>" at priority info.
OptionalText slurp_file(const std::string& path);
