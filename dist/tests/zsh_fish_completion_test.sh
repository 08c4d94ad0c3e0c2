#!/usr/bin/env bash
# Checks the zsh and fish completions for corvanectl.
#   zsh_fish_completion_test.sh CORVANECTL ZSH_COMPLETION FISH_COMPLETION
# Always: both name every command, option and data class that the program's
# --help lists. Where the shells are installed (they are not required): both
# parse, and fish completes partial command lines as expected.
set -uo pipefail

binary=$(realpath "$1")
zsh_file=$(realpath "$2")
fish_file=$(realpath "$3")
failures=0
checks=0

check() { # WHAT COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  if ! "$@" >/dev/null 2>&1; then
    failures=$((failures + 1))
    echo "FAILED: $what" >&2
  fi
}

# Every name that --help gives: commands, long options, and the data classes.
top=$("$binary" --help)
mapfile -t commands < <(sed -n '/^Commands:/,/^$/p' <<<"$top" | awk 'NR > 1 && NF { print $1 }')
names=("${commands[@]}")
for command in "" "${commands[@]}"; do
  [[ $command == help ]] && continue
  mapfile -t -O "${#names[@]}" names < <("$binary" ${command:+"$command"} --help | sed -n '/^Options:/,/^$/p' |
    grep -oE -- '--[a-z][a-z-]*')
done
mapfile -t -O "${#names[@]}" names < <("$binary" install --help | grep -oE 'Data classes: .*' |
  sed 's/^Data classes: //' | tr '|' '\n' | tr -d ' ')
mapfile -t names < <(printf '%s\n' "${names[@]}" | sort -u)
((${#names[@]} > 15)) || { echo "read too few names from --help: ${names[*]}" >&2; exit 1; }

for name in "${names[@]}"; do
  zsh_form=$name fish_form=$name
  # fish spells long options without their dashes ("-l state").
  [[ $name == --* ]] && fish_form="-l ${name#--}"
  check "zsh completion names $name" grep -qwF -- "$zsh_form" "$zsh_file"
  check "fish completion names $name" grep -qF -- "$fish_form" "$fish_file"
done

if command -v zsh >/dev/null; then
  check "zsh -n $zsh_file" zsh -n "$zsh_file"
fi
if command -v fish >/dev/null; then
  check "fish -n $fish_file" fish --no-config -n "$fish_file"
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  touch "$dir/corvane.json" "$dir/other.json"
  fish_case() { # LINE EXPECTED...
    local line=$1 got want
    shift
    got=$(cd "$dir" && fish --no-config -c "source '$fish_file'; complete -C '$line'" | cut -f1 | sort)
    want=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
    checks=$((checks + 1))
    if [[ $got != "$want" ]]; then
      failures=$((failures + 1))
      echo "FAILED: fish '$line': expected ${want//$'\n'/ }, got ${got//$'\n'/ }" >&2
    fi
  }
  fish_case "corvanectl " init install approve list route deliveries help
  fish_case "corvanectl ins" install
  fish_case "corvanectl -" -h --help -V --version --state --json
  fish_case "corvanectl install x --cl" --class
  fish_case "corvanectl install x --" --state --json --help --endpoint-ref --secret-ref --event --class
  fish_case "corvanectl approve x --" --state --json --help --workflow-ref
  fish_case "corvanectl route e --class sec" security_metadata
  fish_case "corvanectl route e --class=r" --class=redacted_error
  fish_case "corvanectl route e --class " operational_metadata security_metadata \
    pseudonymous_identifier encrypted_object_reference redacted_error
  fish_case "corvanectl --state " corvane.json other.json
  fish_case "corvanectl help " init install approve list route deliveries

  # Connector identifiers (pending first) and event types from a real state
  # file, through this build; an unreadable one offers nothing.
  (
    cd "$dir" || exit 1
    PATH=$(dirname "$binary"):$PATH
    "$binary" init --state real.json &&
      "$binary" install hook --state real.json --endpoint-ref e --secret-ref s \
        --event user.created --event 'odd type' &&
      "$binary" install two --state real.json --endpoint-ref e --secret-ref s --event alert
  ) >/dev/null || { echo "cannot make a state file with $binary" >&2; exit 1; }
  mapfile -t ids < <("$binary" --state "$dir/real.json" --json list |
    grep -oE '"connector":"[0-9a-f-]{36}"' | cut -d'"' -f4)
  mapfile -t names < <("$binary" --state "$dir/real.json" list | awk '{ print $2 }')
  "$binary" --state "$dir/real.json" approve "${ids[0]}" --workflow-ref w >/dev/null
  export PATH=$(dirname "$binary"):$PATH
  fish_case "corvanectl --state real.json approve " "${ids[@]}"
  got=$(cd "$dir" && fish --no-config -c "source '$fish_file'; complete -C 'corvanectl --state=real.json approve '" |
    tr '\t\n' '| ')
  checks=$((checks + 1))
  if [[ $got != "${ids[1]}|${names[1]} (PendingApproval) ${ids[0]}|${names[0]} (Approved) " ]]; then
    failures=$((failures + 1))
    echo "FAILED: fish lists the pending connector first, with name and status: got $got" >&2
  fi
  fish_case "corvanectl --state real.json route " alert 'odd type' user.created
  fish_case "corvanectl install x --state real.json --event u" user.created
  fish_case "corvanectl --state other.json approve " ""
  fish_case "corvanectl --state missing.json route " ""
fi

echo "zsh and fish completions: $((checks - failures)) passed, $failures failed"
((failures == 0))
