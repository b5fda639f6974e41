#!/usr/bin/env bash
# A directory that was given orvelt's schema before vacationInterval existed
# takes the ldapmodify that docs/ldap.md gives, as written there: the
# attribute is then known, allowed by orveltVacation, single-valued and an
# integer, and the entries already there are untouched.
set -euo pipefail
root=${1:?usage: schema_upgrade_test.sh SOURCE_DIR}
work=$(mktemp -d)
fixture=$root/tests/support/slapd-fixture
trap '"$fixture" stop "$work/slapd" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

# The earlier schema: today's without the attribute and without its name in
# the class.
awk '/^olcAttributeTypes:/ { skip = /1\.6$/ } /^olcObjectClasses:/ { skip = 0 } !skip' \
  "$root/etc/orvelt.ldif" | sed 's/ \$ vacationInterval//' >"$work/old.ldif"
! grep -q vacationInterval "$work/old.ldif" || { echo "old schema still names the attribute"; exit 1; }

cat >"$work/entry.ldif" <<'LDIF'
dn: ou=people,dc=example,dc=org
objectClass: organizationalUnit
ou: people

dn: uid=jane,ou=people,dc=example,dc=org
objectClass: inetOrgPerson
objectClass: orveltVacation
uid: jane
cn: jane
sn: jane
mail: jane@site
vacationActive: TRUE
vacationInfo: Away.
LDIF
port=$("$fixture" start "$work/slapd" --schema "$work/old.ldif" --config-admin --ldif "$work/entry.ldif")
url=ldap://127.0.0.1:$port/
config=(-x -o nettimeout=5 -H "$url" -D cn=admin,cn=config -w admin)
admin=(-x -o nettimeout=5 -H "$url" -D cn=admin,dc=example,dc=org -w admin)

set_interval() {
  printf 'dn: uid=jane,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: vacationInterval\nvacationInterval: %s\n' "$1" |
    ldapmodify "${admin[@]}" >/dev/null 2>&1
}
if set_interval 2; then echo "the earlier schema took vacationInterval"; exit 1; fi

# The schema entry's name, as the documentation finds it.
dn=$(ldapsearch "${config[@]}" -LLL -b cn=schema,cn=config dn | grep -i orvelt | sed 's/^dn: //')
[ -n "$dn" ] || { echo "no orvelt schema entry"; exit 1; }
# The documentation's LDIF, with this server's name in its dn line.
awk '/^    ldapmodify -Y EXTERNAL/ { on = 1; next } on && /^    EOF$/ { exit } on { print substr($0, 5) }' \
  "$root/docs/ldap.md" | sed "s/^dn: .*/dn: $dn/" >"$work/upgrade.ldif"
grep -q vacationInterval "$work/upgrade.ldif" || { echo "no upgrade LDIF in docs/ldap.md"; exit 1; }
ldapmodify "${config[@]}" -f "$work/upgrade.ldif" >/dev/null

set_interval 2 || { echo "vacationInterval refused after the upgrade"; exit 1; }
if set_interval soon; then echo "a non-integer vacationInterval was taken"; exit 1; fi
found=$(ldapsearch -x -o nettimeout=5 -H "$url" -LLL -b dc=example,dc=org '(vacationInterval>=2)' vacationInterval vacationInfo)
echo "$found" | grep -q '^vacationInterval: 2$' || { echo "no ordering match: $found"; exit 1; }
echo "$found" | grep -q '^vacationInfo: Away.$' || { echo "the entry changed: $found"; exit 1; }
echo "schema upgraded"
