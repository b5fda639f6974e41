#include "support/gdbm_file.h"

#include <gdbm.h>

#include <cstdlib>
#include <stdexcept>

namespace {

GDBM_FILE open_or_throw(const std::string& path, int flags) {
  GDBM_FILE db = gdbm_open(path.c_str(), 0, flags, 0600, nullptr);
  if (db == nullptr)
    throw std::runtime_error("gdbm_open " + path + ": " + gdbm_strerror(gdbm_errno));
  return db;
}

datum datum_of(const std::string& bytes, bool with_nul) {
  return datum{const_cast<char*>(bytes.c_str()),
               static_cast<int>(bytes.size() + (with_nul ? 1 : 0))};
}

}  // namespace

void write_gdbm_keys(const std::string& path, const std::vector<std::string>& keys, bool with_nul) {
  GDBM_FILE db = open_or_throw(path, GDBM_NEWDB);
  for (const std::string& key : keys) {
    gdbm_store(db, datum_of(key, with_nul), datum_of("1", false), GDBM_REPLACE);
  }
  gdbm_close(db);
}

void store_gdbm_record(const std::string& path, const std::string& key, const std::string& value) {
  GDBM_FILE db = open_or_throw(path, GDBM_WRCREAT);
  gdbm_store(db, datum_of(key, false), datum_of(value, false), GDBM_REPLACE);
  gdbm_close(db);
}

std::map<std::string, std::string> read_gdbm(const std::string& path) {
  GDBM_FILE db = open_or_throw(path, GDBM_READER);
  std::map<std::string, std::string> records;
  for (datum key = gdbm_firstkey(db); key.dptr != nullptr;) {
    datum value = gdbm_fetch(db, key);
    records[std::string(key.dptr, key.dsize)] =
        value.dptr != nullptr ? std::string(value.dptr, value.dsize) : std::string();
    free(value.dptr);
    datum next = gdbm_nextkey(db, key);
    free(key.dptr);
    key = next;
  }
  gdbm_close(db);
  return records;
}

bool gdbm_holds(const std::string& path, const std::string& key) {
  try {
    return read_gdbm(path).count(key + std::string(1, '\0')) == 1;
  } catch (const std::exception&) {
    return false;
  }
}
