// Owners of the OpenLDAP client library's resources: the session handle, a
// search result chain and an attribute's value list. Each is released by the
// library's own call when its owner goes.
//
// The classic synchronous calls (ldap_init, ldap_simple_bind_s,
// ldap_search_st, ldap_get_values, ldap_unbind) are declared by <ldap.h>
// only with LDAP_DEPRECATED set; the build sets it for every user of this
// header.
#pragma once

#include <ldap.h>

#include <utility>

// One LDAP session; unbound and closed with ldap_unbind.
class LdapSession {
 public:
  LdapSession() = default;
  explicit LdapSession(LDAP* session) : session_(session) {}
  ~LdapSession() { reset(); }
  LdapSession(LdapSession&& other) noexcept : session_(std::exchange(other.session_, nullptr)) {}
  LdapSession& operator=(LdapSession&& other) noexcept {
    if (this != &other) reset(std::exchange(other.session_, nullptr));
    return *this;
  }
  LdapSession(const LdapSession&) = delete;
  LdapSession& operator=(const LdapSession&) = delete;

  LDAP* get() const { return session_; }
  explicit operator bool() const { return session_ != nullptr; }
  // Unbinds the session held, if any (its result is of no interest), and
  // holds session instead.
  void reset(LDAP* session = nullptr) {
    if (session_ != nullptr) ldap_unbind(session_);
    session_ = session;
  }

 private:
  LDAP* session_ = nullptr;
};

// The message chain of one search result; released with ldap_msgfree.
// Move-only; a moved-from result holds nothing.
class LdapResult {
 public:
  explicit LdapResult(LDAPMessage* chain) : chain_(chain) {}
  ~LdapResult() { reset(); }
  LdapResult(LdapResult&& other) noexcept : chain_(std::exchange(other.chain_, nullptr)) {}
  LdapResult& operator=(LdapResult&& other) noexcept {
    if (this != &other) {
      reset();
      chain_ = std::exchange(other.chain_, nullptr);
    }
    return *this;
  }
  LdapResult(const LdapResult&) = delete;
  LdapResult& operator=(const LdapResult&) = delete;

  LDAPMessage* get() const { return chain_; }

 private:
  void reset() {
    if (chain_ != nullptr) ldap_msgfree(chain_);
    chain_ = nullptr;
  }
  LDAPMessage* chain_;
};

// The null-terminated value list of one attribute (ldap_get_values);
// released with ldap_value_free. Holds nothing when the entry lacks the
// attribute.
class LdapValues {
 public:
  explicit LdapValues(char** values) : values_(values) {}
  ~LdapValues() {
    if (values_ != nullptr) ldap_value_free(values_);
  }
  LdapValues(const LdapValues&) = delete;
  LdapValues& operator=(const LdapValues&) = delete;

  // The first value, or null when there is none.
  const char* first() const { return values_ != nullptr ? values_[0] : nullptr; }
  // All values, null-terminated; null when there are none.
  char* const* all() const { return values_; }

 private:
  char** values_;
};
