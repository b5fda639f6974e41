/* The floor of any per-message program: read standard input to its end. */
#include <unistd.h>

int main(void) {
  char buffer[65536];
  while (read(0, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
