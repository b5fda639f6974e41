#include "directory/ldap_library.h"

#include <dlfcn.h>
#include <ldap.h>
#include <sasl/sasl.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/outcome.h"

#ifndef ORVELT_LDAP_SONAME
#error "ORVELT_LDAP_SONAME must name the client library, e.g. \"libldap-2.5.so.0\""
#endif

namespace {

// The library's own functions, each of the type <ldap.h> declares.
struct LdapFunctions {
// clang-format off
#define ORVELT_LDAP_FUNCTIONS(X)                                                              \
  X(ldap_init) X(ldap_initialize) X(ldap_set_option) X(ldap_get_option) X(ldap_start_tls_s) \
  X(ldap_simple_bind_s) X(ldap_err2string) X(ldap_search_st) X(ldap_count_entries)          \
  X(ldap_first_entry) X(ldap_next_entry) X(ldap_get_values) X(ldap_value_free)              \
  X(ldap_msgfree) X(ldap_unbind) X(ldap_connect) X(ldap_memfree) X(ber_sockbuf_add_io)      \
  X(ber_sockbuf_remove_io) X(ber_sockbuf_ctrl) X(ldap_get_dn) X(ldap_count_references)      \
  X(ldap_modify_ext_s) X(ldap_create_assertion_control) X(ldap_control_free)                 \
  X(ldap_search_ext) X(ldap_result) X(ldap_msgtype) X(ldap_parse_result) X(ldap_abandon_ext)
// clang-format on
#define ORVELT_LDAP_ENTRY(name) decltype(&::name) name = nullptr;
  ORVELT_LDAP_FUNCTIONS(ORVELT_LDAP_ENTRY)
#undef ORVELT_LDAP_ENTRY
};

bool loaded = false;

// Why the library could not be opened: the dynamic linker's reason.
std::string library_failure() {
  const char* reason = dlerror();
  return std::string("CRIT/LDAP ") + (reason != nullptr ? reason : ORVELT_LDAP_SONAME);
}

// GnuTLS initialises itself from a constructor as soon as it is loaded, TLS
// used or not (about 0.8 million instructions). libldap calls
// gnutls_global_init itself before it first uses TLS, so that run is skipped
// while the library is opened, unless the environment already says
// otherwise. The variable goes again at once: the MTA must not inherit it.
class GnutlsImplicitInitSkipped {
 public:
  GnutlsImplicitInitSkipped()
      : set_here_(getenv(kVariable) == nullptr && setenv(kVariable, "1", 0) == 0) {}
  ~GnutlsImplicitInitSkipped() {
    if (set_here_) unsetenv(kVariable);
  }
  GnutlsImplicitInitSkipped(const GnutlsImplicitInitSkipped&) = delete;
  GnutlsImplicitInitSkipped& operator=(const GnutlsImplicitInitSkipped&) = delete;

 private:
  static constexpr const char* kVariable = "GNUTLS_NO_IMPLICIT_INIT";
  bool set_here_;
};

// libldap's first call initialises Cyrus SASL, which opens and relocates
// every mechanism plugin installed on the machine: more instructions than
// all the rest of a reply. The program binds simply and never uses SASL, so
// it initialises Cyrus SASL first, with a callback that declines each plugin
// file; libldap's own sasl_client_init then only counts one more user.
// (Pointing the plugin path at nothing instead makes Cyrus SASL syslog a
// complaint for every message, and SASL_PATH would reach the MTA.)
int decline_sasl_plugin(void*, const char*, sasl_verify_type_t type) {
  return type == SASL_VRFY_PLUGIN ? SASL_CONTINUE : SASL_OK;
}

// Cyrus SASL keeps the pointer: the list lives as long as the program.
// Callbacks are stored as int (*)(void); the detour through void (*)(void)
// says the cast is meant.
const sasl_callback_t kSaslCallbacks[] = {
    {SASL_CB_VERIFYFILE,
     reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(&decline_sasl_plugin)), nullptr},
    {SASL_CB_LIST_END, nullptr, nullptr},
};

void leave_sasl_plugins_unloaded(void* library) {
  // A libldap built without Cyrus SASL does not bring the function along.
  auto client_init =
      reinterpret_cast<decltype(&::sasl_client_init)>(dlsym(library, "sasl_client_init"));
  if (client_init != nullptr) client_init(kSaslCallbacks);
}

template <typename Function>
bool resolve(void* library, const char* name, Function& entry) {
  entry = reinterpret_cast<Function>(dlsym(library, name));
  return entry != nullptr;
}

// The library's functions, or the failure text when it cannot be opened or
// lacks one of them.
struct OpenedLibrary {
  LdapFunctions functions;
  std::string failure;  // empty when opened
};

OpenedLibrary open_library() {
  void* library;
  {
    const GnutlsImplicitInitSkipped skipped;
    // RTLD_LAZY leaves the calls of dependencies that are not bound at load
    // (gmp, ffi) to be bound on use, as at an ordinary program start. The
    // library is never closed: its state lives until exit.
    library = dlopen(ORVELT_LDAP_SONAME, RTLD_LAZY | RTLD_LOCAL);
  }
  OpenedLibrary opened;
  if (library == nullptr) {
    opened.failure = library_failure();
    return opened;
  }
  leave_sasl_plugins_unloaded(library);
  LdapFunctions& functions = opened.functions;
  bool complete = true;
#define ORVELT_LDAP_RESOLVE(name) complete = complete && resolve(library, #name, functions.name);
  ORVELT_LDAP_FUNCTIONS(ORVELT_LDAP_RESOLVE)
#undef ORVELT_LDAP_RESOLVE
  if (!complete) {
    opened.failure = library_failure();
    return opened;
  }
  loaded = true;
  return opened;
}

const OpenedLibrary& opened_library() {
  static const OpenedLibrary opened = open_library();
  return opened;
}

// The functions of the forwarders below. Reaching one without a usable
// library is a fault of the program (ldap_library_open says whether the
// library can be used): it stops here rather than call through null.
const LdapFunctions& library() {
  const OpenedLibrary& opened = opened_library();
  if (!opened.failure.empty()) {
    fprintf(stderr, "orvelt: LDAP client call without its library: %s\n", opened.failure.c_str());
    abort();
  }
  return opened.functions;
}

}  // namespace

const char* ldap_library_name() { return ORVELT_LDAP_SONAME; }

bool ldap_library_loaded() { return loaded; }

Outcome ldap_library_open() {
  const OpenedLibrary& opened = opened_library();
  if (opened.failure.empty()) return Outcome::done();
  return Outcome::retry(LOG_ERR, opened.failure);
}

void ldap_library_prepare_for_threads() {
  if (!ldap_library_open().ok()) return;
  int version = 0;
  ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
  const int client = 0;
  ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &client);
}

// The calls the program makes, forwarded. The compiler checks each against
// its declaration in <ldap.h>.
extern "C" {

LDAP* ldap_init(LDAP_CONST char* host, int port) { return library().ldap_init(host, port); }

int ldap_initialize(LDAP** session, LDAP_CONST char* uri) {
  return library().ldap_initialize(session, uri);
}

int ldap_set_option(LDAP* session, int option, LDAP_CONST void* value) {
  return library().ldap_set_option(session, option, value);
}

int ldap_get_option(LDAP* session, int option, void* value) {
  return library().ldap_get_option(session, option, value);
}

int ldap_start_tls_s(LDAP* session, LDAPControl** server_controls, LDAPControl** client_controls) {
  return library().ldap_start_tls_s(session, server_controls, client_controls);
}

int ldap_simple_bind_s(LDAP* session, LDAP_CONST char* dn, LDAP_CONST char* password) {
  return library().ldap_simple_bind_s(session, dn, password);
}

char* ldap_err2string(int error) { return library().ldap_err2string(error); }

int ldap_search_st(LDAP* session, LDAP_CONST char* base, int scope, LDAP_CONST char* filter,
                   char** attributes, int attributes_only, struct timeval* timeout,
                   LDAPMessage** result) {
  return library().ldap_search_st(session, base, scope, filter, attributes, attributes_only,
                                  timeout, result);
}

int ldap_search_ext(LDAP* session, LDAP_CONST char* base, int scope, LDAP_CONST char* filter,
                    char** attributes, int attributes_only, LDAPControl** server_controls,
                    LDAPControl** client_controls, struct timeval* timeout, int size_limit,
                    int* message_id) {
  return library().ldap_search_ext(session, base, scope, filter, attributes, attributes_only,
                                   server_controls, client_controls, timeout, size_limit,
                                   message_id);
}

int ldap_result(LDAP* session, int message_id, int all, struct timeval* timeout,
                LDAPMessage** result) {
  return library().ldap_result(session, message_id, all, timeout, result);
}

int ldap_msgtype(LDAPMessage* message) { return library().ldap_msgtype(message); }

int ldap_parse_result(LDAP* session, LDAPMessage* result, int* code, char** matched_dn,
                      char** diagnostic, char*** referrals, LDAPControl*** server_controls,
                      int free_it) {
  return library().ldap_parse_result(session, result, code, matched_dn, diagnostic, referrals,
                                     server_controls, free_it);
}

int ldap_abandon_ext(LDAP* session, int message_id, LDAPControl** server_controls,
                     LDAPControl** client_controls) {
  return library().ldap_abandon_ext(session, message_id, server_controls, client_controls);
}

int ldap_modify_ext_s(LDAP* session, LDAP_CONST char* dn, LDAPMod** changes,
                      LDAPControl** server_controls, LDAPControl** client_controls) {
  return library().ldap_modify_ext_s(session, dn, changes, server_controls, client_controls);
}

int ldap_create_assertion_control(LDAP* session, char* filter, int critical,
                                  LDAPControl** control) {
  return library().ldap_create_assertion_control(session, filter, critical, control);
}

void ldap_control_free(LDAPControl* control) { library().ldap_control_free(control); }

int ldap_count_entries(LDAP* session, LDAPMessage* chain) {
  return library().ldap_count_entries(session, chain);
}

int ldap_count_references(LDAP* session, LDAPMessage* chain) {
  return library().ldap_count_references(session, chain);
}

LDAPMessage* ldap_first_entry(LDAP* session, LDAPMessage* chain) {
  return library().ldap_first_entry(session, chain);
}

LDAPMessage* ldap_next_entry(LDAP* session, LDAPMessage* entry) {
  return library().ldap_next_entry(session, entry);
}

char** ldap_get_values(LDAP* session, LDAPMessage* entry, LDAP_CONST char* attribute) {
  return library().ldap_get_values(session, entry, attribute);
}

void ldap_value_free(char** values) { library().ldap_value_free(values); }

char* ldap_get_dn(LDAP* session, LDAPMessage* entry) {
  return library().ldap_get_dn(session, entry);
}

int ldap_msgfree(LDAPMessage* message) { return library().ldap_msgfree(message); }

int ldap_unbind(LDAP* session) { return library().ldap_unbind(session); }

int ldap_connect(LDAP* session) { return library().ldap_connect(session); }

void ldap_memfree(void* memory) { library().ldap_memfree(memory); }

// liblber comes along with libldap.
int ber_sockbuf_add_io(Sockbuf* socket, Sockbuf_IO* io, int layer, void* argument) {
  return library().ber_sockbuf_add_io(socket, io, layer, argument);
}

int ber_sockbuf_remove_io(Sockbuf* socket, Sockbuf_IO* io, int layer) {
  return library().ber_sockbuf_remove_io(socket, io, layer);
}

int ber_sockbuf_ctrl(Sockbuf* socket, int option, void* argument) {
  return library().ber_sockbuf_ctrl(socket, option, argument);
}

}  // extern "C"
