#!/bin/sh
# Prints the address of the Debian archive this machine's apt sources take
# packages from, so that a suite added by these scripts (backports, or the
# sources of a new system made with debootstrap) comes from the same
# mirror: build farms often have a local or company mirror and no way out
# to deb.debian.org.
#
#   tools/debian-mirror.sh [--security]
#
# It reads the deb822 files /etc/apt/sources.list.d/*.sources (their
# Types, URIs, Suites and Enabled fields) and the one-line `deb` entries of
# /etc/apt/sources.list and sources.list.d/*.list, and prints the first URI
# of the first enabled `deb` entry that serves this release's own suite
# (CODENAME, CODENAME-updates or CODENAME-backports); with --security, of
# the first that serves CODENAME-security.  Without one it prints
# deb.debian.org's address.  SFX_APT_DIR names another apt folder (the
# script's test uses it).
set -eu
apt=${SFX_APT_DIR:-/etc/apt}
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
if [ "${1:-}" = --security ]; then
    pattern="^$codename-security\$"
    fallback=http://deb.debian.org/debian-security
else
    pattern="^$codename(-updates|-backports)?\$"
    fallback=http://deb.debian.org/debian
fi

files=""
for f in "$apt/sources.list" "$apt"/sources.list.d/*.list "$apt"/sources.list.d/*.sources; do
    [ -r "$f" ] && files="$files $f"
done

found=""
if [ -n "$files" ]; then
    # shellcheck disable=SC2086  # the file names hold no blanks
    found=$(awk -v pattern="$pattern" '
        function serves(suites,   n, i, s) {
            n = split(suites, s, /[ \t]+/)
            for (i = 1; i <= n; i++) if (s[i] ~ pattern) return 1
            return 0
        }
        function take(uri) { if (result == "" && uri != "") result = uri }
        # One deb822 stanza: Types, URIs and Suites may list several values.
        function stanza() {
            if (types ~ /(^|[ \t])deb([ \t]|$)/ && tolower(enabled) != "no" && serves(suites)) {
                split(uris, u, /[ \t]+/)
                take(u[1])
            }
            types = uris = suites = enabled = ""
        }
        FNR == 1 { stanza() }
        FILENAME ~ /\.sources$/ {
            if ($0 ~ /^[ \t]*$/) { stanza(); next }
            if ($0 ~ /^#/) next
            field = tolower($1); value = $0
            sub(/^[^:]*:[ \t]*/, "", value)
            if (field == "types:") types = value
            else if (field == "uris:") uris = value
            else if (field == "suites:") suites = value
            else if (field == "enabled:") enabled = value
            next
        }
        {
            # One-line form: deb [options] URI SUITE COMPONENT...
            sub(/#.*/, "")
            gsub(/\[[^]]*\]/, "")
            if ($1 == "deb" && serves($3)) take($2)
        }
        END { stanza(); print result }
    ' $files)
fi
echo "${found:-$fallback}" | sed 's:/*$::'
