// Keys of orvelt-db's databases stored or deleted by the text they stand
// for (store/record_format.h makes and reads the keys); every record of a
// file is read_records (store/store.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

// Stores text as a key (stored_key) with an empty value. Returns 0 when
// stored, 1 when the key was there already (it is left as it was), -1 on a
// GDBM failure.
int insert_key(const StoreHandle& db, std::string_view text);

// Deletes the key of text. Returns 0 when deleted, 1 when there was no such
// key, -1 on a GDBM failure.
int delete_key(const StoreHandle& db, std::string_view text);
