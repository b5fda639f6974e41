#include "dbtool/records.h"

#include <gdbm.h>

#include <climits>

#include "store/record_format.h"

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
