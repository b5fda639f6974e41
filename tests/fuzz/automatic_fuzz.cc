// Feeds arbitrary header lines and addresses to the automatic-mail rules and
// checks what intake relies on: a known answer, and one that neither letter
// case nor surrounding blanks can change.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "mail/automatic.h"
#include "util/strings.h"

namespace {

std::string ascii_upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool same_answer(const char* a, const char* b) {
  return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string line(text_until_nul(bytes));  // as every caller sees it
  const size_t colon = line.find(':');
  const std::string name = line.substr(0, colon);
  const std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);

  const char* reason = automatic_mail_header(name, value);
  if (reason != nullptr) FUZZ_CHECK(equals_ignore_case(name, reason));
  FUZZ_CHECK(same_answer(reason, automatic_mail_header(ascii_upper(name), ascii_upper(value))));
  FUZZ_CHECK(same_answer(reason, automatic_mail_header(name, " \t\r" + value + "\r\t ")));

  const bool robot = is_robot_address(line);
  FUZZ_CHECK(robot == is_robot_address(ascii_upper(line)));
  // Only the local part counts: the same with any domain.
  if (line.find('@') == std::string::npos) {
    FUZZ_CHECK(robot == is_robot_address(line + "@example.org"));
  }
  return 0;
}
