// Text primitives shared by every parser: the tokenizer, ASCII case folding
// and the one reaction to memory exhaustion.
//
// A text is a byte string; a NUL byte read from outside ends it. A "text or
// absent" is a std::optional<std::string>, a string list a std::vector.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using StringList = std::vector<std::string>;
using OptionalText = std::optional<std::string>;

// Splits text at the single byte delimiter. Runs of delimiters act as one,
// leading and trailing ones yield nothing, so no token is ever empty. With a
// limit n >= 0, the first n tokens are split off and the rest of the text,
// less its leading and trailing delimiters, becomes one last token; a
// negative limit means no limit.
StringList tokenize(std::string_view text, int limit, char delimiter);

// Out of memory. On the main thread (the one that called
// install_no_memory_handler; every thread when none did) it ends the run
// through log_fatal: logs "CRIT/SYS Out of memory" at priority err, writes
// it to standard error, closes the log and exits with the fatal exit status
// (see log_set_fatal_status: orvelt sets failstatus once its configuration
// is read; 1 until then). On any other thread it throws std::bad_alloc: a
// process with threads ends only from its main thread, which the thread's
// top tells (report_no_memory).
[[noreturn]] void exit_no_memory();

// Makes every failed operator new end through exit_no_memory, and makes the
// calling thread the main thread.
void install_no_memory_handler();

// For the top of a thread that is not the main one, on std::bad_alloc: notes
// that memory ran out and sends SIGTERM to the process, so that its main
// thread stops as on any stop and then ends the run through exit_no_memory
// once no_memory_reported says so. Needs no memory; may be called from any
// thread, any number of times.
void report_no_memory();

// Whether report_no_memory was called.
bool no_memory_reported();

// ASCII-only case folding, independent of the locale.
char ascii_lower(char c);
bool equals_ignore_case(std::string_view a, std::string_view b);
// True when haystack contains needle, ASCII case ignored.
bool contains_ignore_case(std::string_view haystack, std::string_view needle);

// The number that text spells in decimal digits, all of it, at most
// max_digits of them (at most 18: the value always fits); none for an
// empty text, any other byte or more digits.
std::optional<int64_t> parse_digits(std::string_view text, size_t max_digits);

// text without the blanks at either end: spaces, tabs and CRs (a header
// line that ended in CR LF keeps its CR).
std::string_view trim_blanks(std::string_view text);

// The text up to its first NUL byte: how a buffer read from outside is seen.
std::string_view text_until_nul(std::string_view bytes);
