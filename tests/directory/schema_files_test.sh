#!/usr/bin/env bash
# The shipped schema comes in two forms, etc/orvelt.schema (slapd.conf) and
# etc/orvelt.ldif (cn=config). The slapd fixture loads the LDIF, so every
# directory test exercises that one; this test has slapd convert the
# .schema file and checks that both forms define the same.
set -euo pipefail
root=${1:?usage: schema_files_test.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include $root/etc/orvelt.schema
CONF
mkdir "$work/config"
slaptest -Q -f "$work/slapd.conf" -F "$work/config"

# The definitions of an LDIF schema entry, one a line: folded lines joined,
# "{n}" order prefixes dropped, blanks collapsed.
definitions() {
  awk '/^ / { line = line substr($0, 2); next }
       { if (line != "") print line; line = $0 }
       END { if (line != "") print line }' "$1" |
    grep -E '^olc(AttributeTypes|ObjectClasses):' |
    sed -E 's/^(olc[A-Za-z]+): *(\{[0-9]+\})?/\1: /; s/[[:space:]]+/ /g; s/ $//'
}

converted=$(definitions "$work/config/cn=config/cn=schema/cn={3}orvelt.ldif")
shipped=$(definitions "$root/etc/orvelt.ldif")
if [ "$converted" != "$shipped" ]; then
  echo "etc/orvelt.schema and etc/orvelt.ldif differ:"
  diff <(echo "$converted") <(echo "$shipped") || true
  exit 1
fi
[ "$(echo "$shipped" | wc -l)" -eq 7 ] || { echo "expected 7 definitions"; exit 1; }
echo "schema files agree"
