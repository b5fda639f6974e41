/* An MTA stand-in that exits at once, linked statically so that it costs no
 * more than making a process: the benchmark runs it next to /bin/true to
 * show what orvelt itself spends on a reply, apart from the MTA's start. */
int main(void) { return 0; }
