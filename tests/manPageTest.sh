#!/bin/sh
# Every switch that a program's --help prints is described in the OPTIONS section
# of its manual page, which may describe more.   manPageTest.sh PAGE COMMAND...
set -eu
page=$1
shift
help=$("$@" --help)
# A switch stands first on a line or after a blank, "[", "|" or ",", never inside a word.
switches=$(printf '%s\n' "$help" | grep -oE '(^|[][ |,])--?[A-Za-z][-A-Za-z]*' | tr -d '[] |,')
[ -n "$switches" ] || { echo "FAIL: $* --help names no switch" >&2; exit 1; }
# OPTIONS, without roff's minus signs and font changes.
options=$(sed -n '/^\.SH OPTIONS/,/^\.SH /{s/\\f[BIRP]//g;s/\\-/-/g;p}' "$page")
for switch in $switches; do
  printf '%s\n' "$options" | grep -qE -- "(^|[^-[:alnum:]])$switch([^-[:alnum:]]|\$)" ||
    { echo "FAIL: $page: OPTIONS lacks $switch" >&2; exit 1; }
done
