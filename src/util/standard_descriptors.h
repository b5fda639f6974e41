// The start of a process that reads or serves mail: descriptors 0, 1 and 2
// must be open before anything else is.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Started
// without them, the next file or socket opened (the log socket, a database,
// a listening socket) would become standard input or output: orvelt would
// read it as the message, and a stray write would reach it.
void open_missing_standard_descriptors();
