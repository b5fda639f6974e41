// Normalises arbitrary text as an address and checks the result's form.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "util/address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  input.resize(text_until_nul(input).size());  // as every caller sees it
  OptionalText slot = input;
  normalize_address(slot);
  if (!slot) return 0;
  const std::string& address = *slot;
  FUZZ_CHECK(!address.empty());
  FUZZ_CHECK(address.find('*') == std::string::npos);
  std::string lowered = input;
  for (char& c : lowered) {
    c = ascii_lower(c);
  }
  for (char c : address) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
  // One address: never a list, nor anything that could end a header line.
  FUZZ_CHECK(address.find_first_of(std::string(" ,;<>\x7f", 6)) == std::string::npos);
  for (char c : address) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
  FUZZ_CHECK(address.find('@') == address.rfind('@'));
  // The address is a piece of the input, lower-cased.
  FUZZ_CHECK(lowered.find(address) != std::string::npos);
  return 0;
}
