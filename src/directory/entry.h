// One directory entry as the lookup hands it over: the values that a reply
// is composed from, read from the entry and nothing more. What to answer
// and how the reply reads are decided elsewhere (mail/decision,
// mail/compose).
#pragma once
#include <string>
#include <utility>
#include <vector>
#include "util/strings.h"

struct DirectoryEntry {
  std::string dn;
  OptionalText text;           // first value of the result attribute
  OptionalText internal_text;  // first value of internal_result, when configured
  // map_field and map_date, in the order configured: the placeholder and
  // the first value of its attribute as stored (empty when the entry lacks
  // it); a map_date value is formatted only when the reply is composed.
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::pair<std::string, std::string>> dates;
  // The entry's own addresses: every value of the address attributes the
  // lookup was given, in that order; empty when it was given none.
  StringList addresses;
  // The first value of the first of those attributes, as stored; absent
  // when the entry lacks it or the lookup was given none.
  OptionalText first_address;
  // The first value of blockexpire_attribute as stored, when configured.
  OptionalText interval;
};
