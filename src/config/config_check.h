// The configuration test of every program's -t option: the file read as
// the programs read it, and each problem found, without contacting
// anything.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The problems of the configuration file at path, one line each, in the
// order of the file's lines: "<path>:<line>: <text>", where the text is
// that of the reader's WARN/CFG complaint without its prefix (an unknown
// directive, a bad value, a line too long); then, at the line of the
// directive that names it, a file the programs read (badheaders, blacklist,
// forceheader, forcefooter, tls_cacert) that cannot be opened for reading or
// is not a regular file ("<directive> <file>: <reason>"), a noreply_header
// pattern that does not compile ("noreply_header <name>: <reason>"), and
// web_binddn set without web_bindpw. A file that cannot be read at all is
// one line, "<path>: <reason>". Nothing is logged, and g_config is left as
// it was. Every program reads the one file, so no directive counts as
// another program's.
std::vector<std::string> config_check(const char* path);

// The -t option of every program: config_check's lines on err, one a line;
// the exit status, 0 without a problem, 1 with any.
int config_test(const char* path, FILE* err);
