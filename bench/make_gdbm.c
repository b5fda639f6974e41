/* Writes a GDBM file whose keys are the lines of standard input, each stored
 * with its NUL byte, as orvelt looks keys up.  make_gdbm FILE < lines */
#include <gdbm.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  GDBM_FILE db = gdbm_open(argv[1], 0, GDBM_NEWDB, 0600, NULL);
  if (db == NULL) return 1;
  char line[4096];
  while (fgets(line, sizeof line, stdin) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    datum key = {line, (int)strlen(line) + 1};
    datum value = {"1", 2};
    gdbm_store(db, key, value, GDBM_REPLACE);
  }
  gdbm_close(db);
  return 0;
}
