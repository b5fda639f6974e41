// Converting text back to UTF-8 with iconv, independently of the code under
// test, to see what a converted reply really says. Needs nothing of the
// test framework, so that the fuzz targets can use it too.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

// An iconv conversion descriptor, closed with the object.
class IconvHandle {
 public:
  // iconv_open(to, from); valid() tells whether it opened.
  IconvHandle(const char* to, const char* from);
  ~IconvHandle();
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool valid() const { return cd_ != kFailed; }
  iconv_t get() const { return cd_; }

 private:
  static inline const iconv_t kFailed = reinterpret_cast<iconv_t>(-1);
  iconv_t cd_;
};

// What came out of a conversion.
struct Utf8Conversion {
  std::string text;  // the UTF-8 text, as far as it came
  int error = 0;     // errno of the failure (no converter, bad or cut-off input); 0: all converted
};

// Converts the whole of bytes from charset into UTF-8.
Utf8Conversion convert_to_utf8(std::string_view bytes, const char* charset);
