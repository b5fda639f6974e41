// Reads an arbitrary file as the configuration and checks the record.
#include <cstdint>
#include <string>

#include "config/config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (fuzz_quiet_log(), true);
  (void)quiet;
  if (size == 0) return 0;  // fmemopen wants a buffer
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (f == nullptr) return 0;
  config_read_stream(f);
  fclose(f);
  const Config& c = g_config;
  FUZZ_CHECK(!c.map_field_attributes.empty());
  FUZZ_CHECK(c.map_field_attributes.back() == c.result);
  FUZZ_CHECK(c.map_field_placeholders.size() + 1 == c.map_field_attributes.size());
  for (const std::string& p : c.map_field_placeholders) FUZZ_CHECK(!p.empty());
  FUZZ_CHECK(c.scope >= 0 && c.scope <= 2);
  FUZZ_CHECK(c.protocol == 0 || c.protocol == 2 || c.protocol == 3);
  FUZZ_CHECK(!c.mta.empty());
  // Checked values stay within their directives' bounds, whatever the file.
  FUZZ_CHECK(c.port >= 1 && c.port <= 65535);
  FUZZ_CHECK(c.mtatimeout >= 1 && c.mtatimeout <= 86400);
  FUZZ_CHECK(c.failstatus >= 1 && c.failstatus <= 255);
  FUZZ_CHECK(c.blockexpire >= 0 && c.maxreceivers >= 0 && c.maxheader >= 2);
  FUZZ_CHECK(c.lmtp_workers >= 1 && c.lmtp_workers <= 256);
  FUZZ_CHECK((c.create_mode & 0600) == 0600 && (c.create_mode & ~0777) == 0);
  for (const std::string& h : c.recvheader)
    FUZZ_CHECK(!h.empty() && h.find(' ') == std::string::npos);
  return 0;
}
