#include "store/block_file_space.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

namespace {

// GDBM's block size for db; 512, its smallest, should it not say.
uint64_t block_size_of(GDBM_FILE db) {
  int size = 0;
  if (gdbm_setopt(db, GDBM_GETBLOCKSIZE, &size, sizeof size) != 0 || size <= 0) return 512;
  return static_cast<uint64_t>(size);
}

// The bytes of db's directory: one file offset for each of its entries.
uint64_t directory_size_of(GDBM_FILE db) {
  int bits = 0;
  if (gdbm_setopt(db, GDBM_GETDIRDEPTH, &bits, sizeof bits) != 0 || bits < 0 || bits > 40) {
    bits = 40;  // unknown: more than any file system has room for
  }
  return uint64_t{sizeof(off_t)} << bits;
}

// Reserves length bytes from offset without changing the file's size; an
// errno value, 0 when reserved or when the file system cannot reserve.
int reserve(int fd, off_t offset, off_t length) {
  int result;
  do {
    result = fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, length);
  } while (result != 0 && errno == EINTR);
  if (result == 0 || errno == EOPNOTSUPP || errno == ENOSYS) return 0;
  return errno;
}

}  // namespace

uint64_t store_growth_bound(GDBM_FILE db, size_t record_bytes) {
  const uint64_t block = block_size_of(db);
  const uint64_t bucket = block;
  const uint64_t data_blocks = record_bytes == 0 ? 1 : (record_bytes + block - 1) / block;
  return 2 * bucket + data_blocks * block + block + 2 * directory_size_of(db);
}

std::string store_make_room(GDBM_FILE db, size_t record_bytes) {
  const int fd = gdbm_fdesc(db);
  struct statvfs space;
  struct stat file;
  if (fstatvfs(fd, &space) != 0 || fstat(fd, &file) != 0) return strerror(errno);
  const uint64_t needed = store_growth_bound(db, record_bytes);
  const uint64_t available = uint64_t{space.f_bavail} * space.f_frsize;
  if (available < needed) return kNoSpaceForStore;
  const int refused = reserve(fd, file.st_size, static_cast<off_t>(needed));
  if (refused == ENOSPC || refused == EDQUOT) return kNoSpaceForStore;
  if (refused != 0) return strerror(refused);
  return {};
}
