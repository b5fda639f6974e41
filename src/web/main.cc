// orvelt-web: the web page where a person logs in with their directory
// password and sets their own out-of-office reply.
#include "web/web_main.h"

int main(int argc, char** argv) { return web_main(argc, argv); }
