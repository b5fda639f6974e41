// Passing a configuration record from one thread to the others.
//
// Each thread reads only its own g_config (config/config.h). One thread
// reads the file and publishes its record; every other thread adopts the
// newest published record when it is ready for it (a worker, at the start
// of a transaction), so that a record is swapped in whole, and a thread
// keeps the record it holds, untouched, until it adopts the next.
#pragma once

#include <cstdint>

// Makes a copy of this thread's g_config the newest published record, of
// the next generation (the first publication is generation 1). This thread
// then holds that generation. Safe to call from any thread.
void config_publish();

// Copies the newest published record into this thread's g_config when its
// generation is newer than the one this thread holds; true when it did.
// Costs one atomic load when nothing newer has been published. Safe to call
// from any thread.
bool config_adopt_published();

// Reads the file at path again into this thread's g_config and publishes
// it, logging "INFO/SYS configuration reloaded" at priority info; true then.
// A file that cannot be read leaves g_config as it was, logs "WARN/CFG
// reload failed: <path>: <reason>" at priority warning and gives false.
bool config_reload(const char* path);

// The generation of the record this thread holds: 0 until it has published
// or adopted one.
uint64_t config_generation();
