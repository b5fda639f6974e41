/* Runs a command with standard input from a file, so that hyperfine can time
 * it without a shell:  with_input FILE COMMAND [ARG...] */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: with_input FILE COMMAND [ARG...]\n");
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0 || dup2(fd, 0) < 0) return 2;
  close(fd);
  execv(argv[2], argv + 2);
  perror(argv[2]);
  return 127;
}
