#include "dbtool/records.h"

#include <gdbm.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "store/record_format.h"
#include "util/c_owners.h"

namespace {

// The buffer of a datum that GDBM allocated (firstkey, nextkey, fetch).
using OwnedBytes = MallocPtr<char>;

std::string bytes_of(const datum& d) {
  return d.dptr != nullptr && d.dsize > 0 ? std::string(d.dptr, static_cast<size_t>(d.dsize))
                                          : std::string();
}

// The end of a walk is GDBM_ITEM_NOT_FOUND; anything else is damage.
bool walk_ended_cleanly() {
  return gdbm_errno == GDBM_ITEM_NOT_FOUND || gdbm_errno == GDBM_NO_ERROR;
}

}  // namespace

bool read_records(const StoreHandle& db, std::vector<RawRecord>& records, std::string& error) {
  const size_t first = records.size();
  gdbm_errno = GDBM_NO_ERROR;
  datum key = gdbm_firstkey(db.get());
  while (key.dptr != nullptr) {
    OwnedBytes key_bytes(key.dptr);
    gdbm_errno = GDBM_NO_ERROR;
    const datum value = gdbm_fetch(db.get(), key);
    OwnedBytes value_bytes(value.dptr);
    // The caller holds the lock, so a key the walk handed out that cannot
    // be fetched means a damaged file.
    if (value.dptr == nullptr && gdbm_errno != GDBM_NO_ERROR) {
      error = gdbm_strerror(gdbm_errno);
      return false;
    }
    records.push_back({bytes_of(key), bytes_of(value)});
    gdbm_errno = GDBM_NO_ERROR;
    key = gdbm_nextkey(db.get(), key);
  }
  const bool clean = walk_ended_cleanly();
  if (!clean) error = gdbm_strerror(gdbm_errno);
  std::sort(records.begin() + static_cast<std::ptrdiff_t>(first), records.end(),
            [](const RawRecord& a, const RawRecord& b) { return a.key < b.key; });
  return clean;
}

int insert_key(const StoreHandle& db, std::string_view text) {
  if (text.size() >= static_cast<size_t>(INT_MAX)) return -1;
  const std::string key = stored_key(text);
  static char no_value[1];
  return gdbm_store(db.get(), datum_over(key), datum{no_value, 0}, GDBM_INSERT);
}

int delete_key(const StoreHandle& db, std::string_view text) {
  if (text.size() >= static_cast<size_t>(INT_MAX)) return -1;
  const std::string key = stored_key(text);
  if (gdbm_delete(db.get(), datum_over(key)) == 0) return 0;
  return gdbm_errno == GDBM_ITEM_NOT_FOUND ? 1 : -1;
}
