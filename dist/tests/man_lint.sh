#!/usr/bin/env bash
# Lints a manual page: groff with all warnings, and mandoc's linter down to its
# style notes (such as an input line over 80 bytes) where mandoc is installed.
# Any message is a failure.
#   man_lint.sh PAGE
set -uo pipefail
page=$1
status=0
linters=()

if command -v groff >/dev/null; then
  linters+=(groff)
  out=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1) || status=1
  [[ -z $out ]] || { printf 'groff: %s\n' "$out" >&2; status=1; }
fi
if command -v mandoc >/dev/null; then
  linters+=(mandoc)
  out=$(mandoc -Tlint -Wstyle "$page" 2>&1) || status=1
  [[ -z $out ]] || { printf '%s\n' "$out" >&2; status=1; }
fi
if ((${#linters[@]} == 0)); then
  echo "man_lint: neither groff nor mandoc is installed (scripts/bootstrap installs both)" >&2
  exit 1
fi
((status == 0)) && echo "man page lints clean (${linters[*]}): $page"
exit $status
