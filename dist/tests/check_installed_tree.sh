#!/usr/bin/env bash
# Checks an installed corvanectl below PREFIX (a cmake --install prefix, or the
# usr/ of an unpacked Debian package): every file in its place with the right
# mode, the binary runs and reports VERSION, the installed manual page and
# completions pass their tests against the installed binary, and the
# documentation (copyright, changelog, README) is there and well-formed; zsh
# finds its completion through compinit.
#   check_installed_tree.sh PREFIX VERSION
set -uo pipefail
prefix=$(realpath "$1")
version=$2
here=$(dirname "$(realpath "$0")")
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

bin=$prefix/bin/corvanectl
man=$prefix/share/man/man1/corvanectl.1.gz
doc=$prefix/share/doc/corvanectl
bash_completion=$prefix/share/bash-completion/completions/corvanectl
zsh_completion=$prefix/share/zsh/vendor-completions/_corvanectl
fish_completion=$prefix/share/fish/vendor_completions.d/corvanectl.fish

[[ -f $bin && -x $bin ]] || fail "no executable $bin"
for file in "$man" "$bash_completion" "$zsh_completion" "$fish_completion" \
  "$doc/copyright" "$doc/changelog.gz" "$doc/README.md"; do
  if [[ ! -f $file ]]; then
    fail "missing $file"
  elif [[ $(stat -c %a "$file") != 644 ]]; then
    fail "$file has mode $(stat -c %a "$file"), expected 644"
  fi
done
((failures == 0)) || exit 1

got=$("$bin" --version 2>&1) || fail "$bin --version exited $?"
[[ $got == "corvanectl $version" ]] || fail "$bin --version printed '$got', expected 'corvanectl $version'"

run() { # run a check, showing its output only when it fails
  local out
  out=$("$@" 2>&1) || { printf '%s\n' "$out" >&2; fail "$(basename "$1") ${*:2}"; }
}
# The manual page is compressed; the checks read it as text.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
gzip -t "$man" 2>/dev/null || fail "$man is not gzip-compressed"
gzip -dc "$man" >"$scratch/corvanectl.1"
run "$here/man_lint.sh" "$scratch/corvanectl.1"
run python3 "$here/man_matches_help.py" "$bin" "$scratch/corvanectl.1"
# Sections an operator looks for, in the page as man renders it.
rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 groff -man -Tutf8 -P-c "$scratch/corvanectl.1" 2>/dev/null |
  sed 's/.\x08//g')
for section in NAME SYNOPSIS DESCRIPTION COMMANDS "GLOBAL OPTIONS" "EXIT STATUS" ENVIRONMENT FILES \
  "CONNECTOR STATUSES" DELIVERIES EXAMPLES "SEE ALSO"; do
  grep -qx "$section" <<<"$rendered" || fail "the manual page has no $section section"
done
for word in NO_COLOR CLICOLOR_FORCE CLICOLOR TERM 0600 "30 seconds" manifest_signature_invalid \
  connector_not_approved tenant_mismatch event_type_not_allowed data_class_not_allowed \
  PendingApproval Suspended Revoked dead_lettered; do
  grep -qF -- "$word" <<<"$rendered" || fail "the manual page does not mention $word"
done

# Documentation: a machine-readable copyright under Apache-2.0 with its
# license text, a changelog that dpkg reads for this version, the README.
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright" ||
  fail "$doc/copyright has no machine-readable Format line"
grep -qx 'Files: \*' "$doc/copyright" || fail "$doc/copyright has no 'Files: *' stanza"
[[ $(grep -c '^License: Apache-2.0$' "$doc/copyright") == 2 ]] ||
  fail "$doc/copyright does not license the files under Apache-2.0 with a license stanza"
grep -q 'Licensed under the Apache License, Version 2.0' "$doc/copyright" ||
  fail "$doc/copyright lacks the license text"
if command -v dpkg-parsechangelog >/dev/null; then
  changelog_version=$(gzip -dc "$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version 2>/dev/null)
  [[ $changelog_version == "$version" ]] ||
    fail "$doc/changelog.gz gives version '$changelog_version', expected $version"
else
  gzip -dc "$doc/changelog.gz" | head -n1 | grep -q "^corvanectl ($version) " ||
    fail "$doc/changelog.gz does not start with version $version"
fi
grep -q '^# corvanectl' "$doc/README.md" || fail "$doc/README.md is not the README"
# The manual page is dated as the newest changelog entry.
changelog_day=$(gzip -dc "$doc/changelog.gz" |
  sed -n 's/^ -- .*  [A-Z][a-z][a-z], \([0-9]* [A-Z][a-z]* [0-9]*\) .*/\1/p' | head -n1)
page_date=$(sed -n 's/^\.TH [^ ]* [^ ]* \([^ ]*\) .*/\1/p' "$scratch/corvanectl.1")
changelog_date=""
[[ -n $changelog_day ]] && changelog_date=$(date -u -d "$changelog_day" +%F 2>/dev/null)
[[ -n $changelog_date ]] || fail "cannot read the date of the newest entry of $doc/changelog.gz"
[[ $page_date == "$changelog_date" ]] ||
  fail "the manual page is dated '$page_date', the changelog entry $changelog_date"
run "$here/bash_completion_test.sh" "$bash_completion" "$bin"
run "$here/zsh_fish_completion_test.sh" "$bin" "$zsh_completion" "$fish_completion"
# The zsh completion as a user's shell finds it: through compinit and zsh's
# own fpath (zsh is not required).
if command -v zsh >/dev/null; then
  run zsh -f "$here/zsh_compinit_test.zsh" "$prefix"
fi

((failures == 0)) || exit 1
echo "installed tree OK: $bin reports 'corvanectl $version'; man page, completions and documentation pass"
