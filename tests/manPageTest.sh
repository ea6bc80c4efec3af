#!/bin/sh
# Keeps a program's --help and its manual page from drifting apart: every
# switch that --help prints must be described in the page's OPTIONS section.
# The page may describe more.
#
#   manPageTest.sh PAGE COMMAND...   COMMAND starts the program (through the
#                                    emulator in a cross build)
set -eu
page=$1
shift
fail() { echo "FAIL: $*" >&2; exit 1; }

help=$("$@" --help) || fail "$* --help: exit status not 0"
# Switches stand at the start of a line or after a blank, "[", "|" or ",";
# the hyphen inside a word such as "hardware-category" is none.
switches=$(printf '%s\n' "$help" | grep -oE '(^|[][ |,])--?[A-Za-z][-A-Za-z]*' |
  sed 's/^[][ |,]//' | sort -u)
[ -n "$switches" ] || fail "$* --help names no switch"

# The OPTIONS section with roff's minus signs and font changes taken out.
options=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$page" | sed 's/\\f[BIRP]//g; s/\\-/-/g')
[ -n "$options" ] || fail "$page has no OPTIONS section"

missing=""
for switch in $switches; do
  printf '%s\n' "$options" | grep -qE -- "(^|[^-[:alnum:]])$switch([^-[:alnum:]]|\$)" ||
    missing="$missing $switch"
done
[ -z "$missing" ] || fail "$page: OPTIONS lacks$missing"
echo "$page: OPTIONS has every switch of --help:" $switches
