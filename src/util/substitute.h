// Placeholder filling in templates, and whole-file loading.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "util/outcome.h"
#include "util/strings.h"

// A placeholder of a template and the text it stands for. An empty name
// never matches.
struct Placeholder {
  std::string_view name;
  std::string_view value;
};

// Whether the values filled into the header of a text are cleaned of line
// breaks (see fill_in).
enum class HeaderValues { kAsTheyStand, kCleaned };

// text with its placeholders filled in, in one pass from left to right. At
// each position the longest name of placeholders that occurs there is
// replaced by its value (the first of equally long names wins); an
// occurrence matches a name's first byte exactly and the rest with ASCII
// case ignored. An inserted value is never scanned again: it goes in as it
// stands, placeholder text and all.
//
// With HeaderValues::kCleaned, a value that lands in the text's header (the
// part before its first empty line, a line that is empty or holds only a
// CR; the whole text when it has none), as the template places it, is
// cleaned so that it cannot start a header line of its own: a CR that ends
// the value is dropped, and every other CR, LF or NUL becomes a blank.
std::string fill_in(std::string_view text, std::span<const Placeholder> placeholders,
                    HeaderValues header = HeaderValues::kAsTheyStand);

// text without the lines that hold placeholder (matched as fill_in matches
// a name), each left out with its newline; the other lines stay as they
// are. An empty placeholder leaves the text as it is.
std::string without_lines_holding(std::string_view text, std::string_view placeholder);

// The whole content of the regular file at path, up to its first NUL byte.
// The file is opened without blocking and its type checked before the first
// read, so a FIFO or a device never holds the caller or fills its memory.
// A failure "CRIT/IO <path>: <reason>" (path made log-safe) at priority
// err, logged by whoever ends the run, when the file cannot be opened or
// read (the reason is the system's text, "Is a directory" for a directory),
// is not a regular file ("not a regular file") or holds more than
// max_bytes bytes ("larger than <max_bytes> bytes"; a file that grows
// while it is read too).
Result<std::string> read_text_file(const std::string& path, size_t max_bytes);
