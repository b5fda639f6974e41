/* Preload library for tests: appends the length of every sleep(3) call of
 * the program, one decimal number a line, to the file named by
 * ORVELT_TEST_PAUSE_LOG, then sleeps as asked. The block store's lock retry
 * is the program's only sleep, so the file counts its pauses. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

unsigned int sleep(unsigned int seconds) {
  const char* path = getenv("ORVELT_TEST_PAUSE_LOG");
  if (path != NULL) {
    FILE* f = fopen(path, "a");
    if (f != NULL) {
      fprintf(f, "%u\n", seconds);
      fclose(f);
    }
  }
  /* dlsym hands back an object pointer; POSIX lets it be read as a
   * function pointer through this copy. */
  unsigned int (*real_sleep)(unsigned int);
  void* symbol = dlsym(RTLD_NEXT, "sleep");
  memcpy(&real_sleep, &symbol, sizeof real_sleep);
  return real_sleep != NULL ? real_sleep(seconds) : seconds;
}
