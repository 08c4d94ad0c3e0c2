#!/usr/bin/env bash
# Checks an installed corvanectl below PREFIX (a cmake --install prefix, or the
# usr/ of an unpacked Debian package): every file in its place with the right
# mode, the binary runs and reports VERSION, and the installed manual page and
# bash completion pass their tests against the installed binary.
#   check_installed_tree.sh PREFIX VERSION
set -uo pipefail
prefix=$(realpath "$1")
version=$2
here=$(dirname "$(realpath "$0")")
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

bin=$prefix/bin/corvanectl
man=$prefix/share/man/man1/corvanectl.1
bash_completion=$prefix/share/bash-completion/completions/corvanectl
zsh_completion=$prefix/share/zsh/site-functions/_corvanectl
fish_completion=$prefix/share/fish/vendor_completions.d/corvanectl.fish

[[ -f $bin && -x $bin ]] || fail "no executable $bin"
for file in "$man" "$bash_completion" "$zsh_completion" "$fish_completion"; do
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
run "$here/man_lint.sh" "$man"
run python3 "$here/man_matches_help.py" "$bin" "$man"
run "$here/bash_completion_test.sh" "$bash_completion" "$bin"
run "$here/zsh_fish_completion_test.sh" "$bin" "$zsh_completion" "$fish_completion"

((failures == 0)) || exit 1
echo "installed tree OK: $bin reports 'corvanectl $version'; man page and completions pass"
