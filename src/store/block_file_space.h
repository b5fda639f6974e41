// Room on the file system for what a write to a GDBM file may add to it.
//
// GDBM grows a file at its end while it stores a record: the record's data,
// and, when a bucket is full, two new buckets, a block for its list of free
// space and, when the directory must double, a directory twice the size of
// the old one. A write that runs out of space half-way leaves buckets and
// directory disagreeing, and the file no longer reads to its end. So room
// for all of that is found, and reserved, before the write starts.
#pragma once

#include <gdbm.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The reason store_make_room gives when the file system is too full.
inline constexpr const char* kNoSpaceForStore = "no space left for the block file";

// The most that storing one record of record_bytes (key and value) may add
// to the open file db: two buckets (a bucket is one block in the files GDBM
// creates), the record rounded up to whole blocks (one at least), one block
// for the list of free space and a doubled directory (twice the present
// directory's size).
uint64_t store_growth_bound(GDBM_FILE db, size_t record_bytes);

// Makes sure that storing one record of record_bytes into db, open for
// writing, cannot run out of space: the space the file system has for an
// unprivileged process (f_bavail * f_frsize of fstatvfs on the file's
// descriptor) must hold store_growth_bound, and that much is then reserved
// past the file's end (fallocate, the file's size unchanged) where the file
// system can, so that other writers filling it meanwhile cannot take it.
// Empty when there is room; otherwise kNoSpaceForStore (too little, or a
// reservation refused for space or quota) or the system's text of another
// failure. Writes nothing into the file.
std::string store_make_room(GDBM_FILE db, size_t record_bytes);
