/* Preload library for tests: appends every openlog, syslog and closelog call
 * of the program to the file named by ORVELT_LOG_CAPTURE, one line each:
 *   open <ident> <option> <facility>
 *   log <priority> <text>
 *   close
 * The priority is the LOG_PRI part; a facility passed with a message is
 * written in front of it as "<facility>|". */
#define _GNU_SOURCE
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

static void capture_line(const char* line) {
  const char* path = getenv("ORVELT_LOG_CAPTURE");
  if (path == NULL) return;
  FILE* f = fopen(path, "a");
  if (f == NULL) return;
  fputs(line, f);
  fputc('\n', f);
  fclose(f);
}

void openlog(const char* ident, int option, int facility) {
  char line[512];
  snprintf(line, sizeof line, "open %s %d %d", ident ? ident : "(null)", option, facility);
  capture_line(line);
}

void closelog(void) { capture_line("close"); }

void vsyslog(int priority, const char* format, va_list args) {
  char text[16384];
  vsnprintf(text, sizeof text, format, args);
  for (char* p = text; *p; ++p)
    if (*p == '\n') *p = ' ';
  char line[16500];
  snprintf(line, sizeof line, "log %d %s", LOG_PRI(priority), text);
  capture_line(line);
}

void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

void __syslog_chk(int priority, int flag, const char* format, ...) {
  (void)flag;
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

void __vsyslog_chk(int priority, int flag, const char* format, va_list args) {
  (void)flag;
  vsyslog(priority, format, args);
}
