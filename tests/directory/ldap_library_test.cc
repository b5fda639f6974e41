// The directory client library, opened on first use.
#include "directory/ldap_library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <ldap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool library_in_process() {
  void* handle = dlopen(ldap_library_name(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);  // drops the reference NOLOAD took
  return handle != nullptr;
}

// Runs check in a new process (the death test re-executes this binary), in
// which nothing has opened the library yet; check exits 0 when satisfied.
#define IN_FRESH_PROCESS(check)                         \
  do {                                                  \
    GTEST_FLAG_SET(death_test_style, "threadsafe");     \
    EXPECT_EXIT(check, testing::ExitedWithCode(0), ""); \
  } while (false)

TEST(LdapLibrary, OpenedOnlyByTheFirstCall) {
  IN_FRESH_PROCESS({
    if (library_in_process() || ldap_library_loaded()) std::_Exit(1);
    if (std::strcmp(ldap_err2string(LDAP_SUCCESS), "Success") != 0) std::_Exit(2);
    std::_Exit(library_in_process() && ldap_library_loaded() ? 0 : 3);
  });
}

TEST(LdapLibrary, ProgramStartsWithoutIt) {
  // The dynamic linker lists what the program starts with, as ldd does.
  const std::string command = std::string("LD_TRACE_LOADED_OBJECTS=1 '") + ORVELT_BINARY + "'";
  FILE* listing = popen(command.c_str(), "r");
  ASSERT_NE(listing, nullptr);
  std::string loaded;
  char line[512];
  while (fgets(line, sizeof line, listing) != nullptr) loaded += line;
  ASSERT_EQ(pclose(listing), 0) << loaded;
  EXPECT_NE(loaded.find("libc.so"), std::string::npos) << loaded;
  EXPECT_EQ(loaded.find("libldap"), std::string::npos) << loaded;
  EXPECT_EQ(loaded.find("libgnutls"), std::string::npos) << loaded;
  EXPECT_EQ(loaded.find("libgdbm"), std::string::npos) << loaded;
}

TEST(LdapLibrary, LeavesSaslMechanismPluginsUnloaded) {
  char** mechanisms = nullptr;
  ASSERT_EQ(ldap_get_option(nullptr, LDAP_OPT_X_SASL_MECHLIST, &mechanisms), LDAP_OPT_SUCCESS);
  // Cyrus SASL carries EXTERNAL itself; any other name came from a plugin.
  for (char** m = mechanisms; m != nullptr && *m != nullptr; ++m) EXPECT_STREQ(*m, "EXTERNAL");
}

TEST(LdapLibrary, StillReadsTheClientConfiguration) {
  // ldap.conf, ldaprc and the LDAP* variables are read at the first call;
  // leaving SASL's plugins alone must not skip them.
  IN_FRESH_PROCESS({
    setenv("LDAPBASE", "dc=from,dc=environment", 1);
    char* base = nullptr;
    ldap_get_option(nullptr, LDAP_OPT_DEFBASE, &base);
    std::_Exit(base != nullptr && std::strcmp(base, "dc=from,dc=environment") == 0 ? 0 : 1);
  });
}

TEST(LdapLibrary, LeavesTheGnutlsVariableAsItFoundIt) {
  // Unset before: unset after, so the MTA does not inherit it.
  IN_FRESH_PROCESS({
    unsetenv("GNUTLS_NO_IMPLICIT_INIT");
    ldap_err2string(LDAP_SUCCESS);
    std::_Exit(std::getenv("GNUTLS_NO_IMPLICIT_INIT") == nullptr ? 0 : 1);
  });
  // Set by the caller: kept.
  IN_FRESH_PROCESS({
    setenv("GNUTLS_NO_IMPLICIT_INIT", "0", 1);
    ldap_err2string(LDAP_SUCCESS);
    const char* value = std::getenv("GNUTLS_NO_IMPLICIT_INIT");
    std::_Exit(value != nullptr && std::strcmp(value, "0") == 0 ? 0 : 1);
  });
}

}  // namespace
