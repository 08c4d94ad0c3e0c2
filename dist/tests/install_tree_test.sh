#!/usr/bin/env bash
# Installs the build with cmake --install into a scratch prefix and checks the
# installed tree.
#   install_tree_test.sh CMAKE BUILD_DIR VERSION
set -euo pipefail
cmake=$1 build=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$cmake" --install "$build" --prefix "$scratch/usr" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; exit 1; }
# Nothing is installed but these files.
expected="bin/corvanectl
share/bash-completion/completions/corvanectl
share/doc/corvanectl/README.md
share/doc/corvanectl/changelog.gz
share/doc/corvanectl/copyright
share/fish/vendor_completions.d/corvanectl.fish
share/man/man1/corvanectl.1.gz
share/zsh/vendor-completions/_corvanectl"
got=$(cd "$scratch/usr" && find . -type f | sed 's|^\./||' | sort)
[[ $got == "$expected" ]] || { printf 'installed files:\n%s\nexpected:\n%s\n' "$got" "$expected" >&2; exit 1; }
"$(dirname "$0")/check_installed_tree.sh" "$scratch/usr" "$version"
