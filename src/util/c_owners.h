// Owners for memory and streams that C libraries hand out: released exactly
// once, on every path, when the owner goes.
#pragma once
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

// Memory from malloc (GDBM's fetched keys and values, getline's buffers).
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// A stdio stream from fopen or fdopen.
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<FILE, FileCloser>;

// A directory stream from opendir.
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using OwnedDir = std::unique_ptr<DIR, DirCloser>;
