// The OpenLDAP client library, opened when the directory is first used.
//
// A mail server starts the program once for every message, and most
// messages are declined before the directory is asked. Linked the ordinary
// way, libldap would make every start load and relocate it with its whole
// dependency chain (GnuTLS, nettle, gmp, p11-kit, libunistring, ...) and run
// GnuTLS's initialiser: millions of instructions for nothing. So the program
// is not linked with it. ldap_library.cc defines the client calls the
// program makes, with the very names and types <ldap.h> declares, and each
// forwards to the library, which the first of them opens with dlopen. The
// code that talks to the directory is plain libldap code.
//
// Whether the library can be used is asked once, with ldap_library_open,
// before the first client call; a client call made although it cannot be
// used aborts the process (a fault of the program, not of the machine).
#pragma once

#include "util/outcome.h"

// The file name the library is opened by: its SONAME, taken from the build.
const char* ldap_library_name();

// True once this process has opened the library.
bool ldap_library_loaded();

// Opens the library unless this process has tried already; done when it is
// open with every call the program makes, else the failure "CRIT/LDAP
// <dynamic linker's reason>" at priority err (the same on every later ask).
Outcome ldap_library_open();

// Opens the library and has it set up what it keeps process-wide, before
// any thread of a server uses it: the opening changes the environment for a
// moment, which another thread's MTA start would read; libldap's first use
// sets up its global options, and its first TLS context its TLS layer, both
// unguarded, which two threads' first sessions would do at once (each
// session still gets a TLS context of its own). A library that cannot be
// opened is left so: each request that needs it fails as orvelt's runs do.
void ldap_library_prepare_for_threads();
