#include "support/to_utf8.h"

#include <cerrno>

IconvHandle::IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}

IconvHandle::~IconvHandle() {
  if (valid()) iconv_close(cd_);
}

Utf8Conversion convert_to_utf8(std::string_view bytes, const char* charset) {
  Utf8Conversion result;
  const IconvHandle cd("UTF-8", charset);
  if (!cd.valid()) {
    result.error = errno;
    return result;
  }
  // No charset takes fewer than a quarter of the bytes UTF-8 takes.
  std::string in(bytes);
  result.text.assign(in.size() * 4 + 16, '\0');
  char* in_pos = in.data();
  size_t in_left = in.size();
  char* out_pos = result.text.data();
  size_t out_left = result.text.size();
  if (iconv(cd.get(), &in_pos, &in_left, &out_pos, &out_left) == static_cast<size_t>(-1)) {
    result.error = errno;
  } else if (in_left != 0) {
    result.error = EINVAL;
  }
  result.text.resize(result.text.size() - out_left);
  return result;
}
