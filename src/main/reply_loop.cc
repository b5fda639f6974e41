#include "main/reply_loop.h"

// STUB: returns without replying. To be replaced by the real loop (directory
// lookup, block check, conversion, hand-off to the MTA, block record) when
// the directory and delivery modules land.
void run_replies() {}
