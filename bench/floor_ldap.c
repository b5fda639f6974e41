/* The floor of a per-message LDAP auto-responder: read standard input, bind
 * anonymously, run one search with the default filter for one attribute,
 * exit. Nothing less can answer a message from the directory.
 *   floor_ldap HOST PORT BASE RECEIVER < message */
#define LDAP_DEPRECATED 1
#include <ldap.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: floor_ldap HOST PORT BASE RECEIVER < message\n");
    return 2;
  }
  char buffer[65536];
  while (read(0, buffer, sizeof buffer) > 0) {
  }
  LDAP* ld = ldap_init(argv[1], atoi(argv[2]));
  if (ld == NULL) return 1;
  int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (ldap_simple_bind_s(ld, NULL, NULL) != LDAP_SUCCESS) return 1;
  char filter[512];
  snprintf(filter, sizeof filter, "(&(mail=%s)(vacationActive=TRUE))", argv[4]);
  char* attributes[] = {"vacationInfo", NULL};
  struct timeval limit = {10, 0};
  LDAPMessage* result = NULL;
  int rc = ldap_search_st(ld, argv[3], LDAP_SCOPE_SUBTREE, filter, attributes, 0, &limit, &result);
  if (result != NULL) ldap_msgfree(result);
  ldap_unbind(ld);
  return rc == LDAP_SUCCESS ? 0 : 1;
}
