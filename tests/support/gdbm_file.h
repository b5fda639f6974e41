// Real GDBM files for tests: written and read without the code under test.
#pragma once

#include <map>
#include <string>
#include <vector>

// Creates (or replaces) a GDBM file at path holding each key with the value
// "1". Keys are stored with their terminating NUL byte, as the program
// stores and looks up keys, unless with_nul is false.
void write_gdbm_keys(const std::string& path, const std::vector<std::string>& keys,
                     bool with_nul = true);

// Stores one record, key exactly as given (no NUL added), in the GDBM file
// at path, creating the file if needed.
void store_gdbm_record(const std::string& path, const std::string& key, const std::string& value);

// Every record of the GDBM file at path, keys and values byte for byte.
// Throws when the file does not open.
std::map<std::string, std::string> read_gdbm(const std::string& path);

// True when the GDBM file at path holds key (stored with its NUL byte);
// false for a file that does not open.
bool gdbm_holds(const std::string& path, const std::string& key);
