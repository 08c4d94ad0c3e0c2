#!/usr/bin/env bash
# Checks the zsh and fish completions for corvanectl.
#   zsh_fish_completion_test.sh CORVANECTL ZSH_COMPLETION FISH_COMPLETION
# Always: both name every command, option and data class that the program's
# --help lists. Where the shells are installed (they are not required): both
# parse; fish completes partial command lines as expected, including
# connector identifiers and event types from a state file made with
# CORVANECTL; and zsh's helpers offer those identifiers and event types.
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
# zsh_helper STATE_WORDS... -- FUNCTION: what the zsh completion's helper
# FUNCTION offers for "corvanectl STATE_WORDS... <cursor>" in the current
# directory, one match a line (with its description, if any), in order.
# The completion system is stood in for by functions that print what they get.
zsh_helper() {
  local -a line=()
  while [[ $1 != -- ]]; do line+=("$1"); shift; done
  ZSH_FILE=$zsh_file PROGRAM=$binary HELPER=$2 zsh -f -c '
    _arguments() { return 1 }
    _describe() { print -rl -- "${(@P)argv[-1]}" }
    _wanted() { print -rl -- "${(@P)argv[-1]}" }
    source "$ZSH_FILE" 2>/dev/null
    corvanectl_program=$PROGRAM corvanectl_state=""
    words=("$@" "") CURRENT=$#words
    $HELPER' zsh "${line[@]}"
}
# A directory with an empty corvane.json and other.json, and a real state
# file made with this build: two connectors, the one listed first approved.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/corvane.json" "$dir/other.json"
(
  cd "$dir" || exit 1
  "$binary" init --state real.json &&
    "$binary" install hook --state real.json --endpoint-ref e --secret-ref s \
      --event user.created --event 'odd type' --event ns:user.created --event 'q"uote' &&
    "$binary" install two --state real.json --endpoint-ref e --secret-ref s --event alert \
      --event user.created
) >/dev/null || { echo "cannot make a state file with $binary" >&2; exit 1; }
mapfile -t ids < <("$binary" --state "$dir/real.json" --json list |
  grep -oE '"connector":"[0-9a-f-]{36}"' | cut -d'"' -f4)
mapfile -t names < <("$binary" --state "$dir/real.json" list | awk '{ print $2 }')
"$binary" --state "$dir/real.json" approve "${ids[0]}" --workflow-ref w >/dev/null
# The completions run "corvanectl": this build.
export PATH=$(dirname "$binary"):$PATH

if command -v fish >/dev/null; then
  check "fish -n $fish_file" fish --no-config -n "$fish_file"
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
  fish_case "corvanectl --state " corvane.json other.json real.json
  fish_case "corvanectl help " init install approve list route deliveries

  # Connector identifiers (pending first) and event types from the real
  # state file; an unreadable one offers nothing.
  fish_case "corvanectl --state real.json approve " "${ids[@]}"
  got=$(cd "$dir" && fish --no-config -c "source '$fish_file'; complete -C 'corvanectl --state=real.json approve '" |
    tr '\t\n' '| ')
  checks=$((checks + 1))
  if [[ $got != "${ids[1]}|${names[1]} (PendingApproval) ${ids[0]}|${names[0]} (Approved) " ]]; then
    failures=$((failures + 1))
    echo "FAILED: fish lists the pending connector first, with name and status: got $got" >&2
  fi
  fish_case "corvanectl --state real.json route " alert ns:user.created 'odd type' 'q"uote' user.created
  fish_case "corvanectl --state real.json route ns:u" ns:user.created
  fish_case "corvanectl install x --state real.json --event u" user.created
  fish_case "corvanectl --state other.json approve " ""
  fish_case "corvanectl --state missing.json route " ""
fi
if command -v zsh >/dev/null; then
  zsh_case() { # WHAT GOT EXPECTED
    checks=$((checks + 1))
    if [[ $2 != "$3" ]]; then
      failures=$((failures + 1))
      echo "FAILED: zsh $1: expected ${3//$'\n'/ | }, got ${2//$'\n'/ | }" >&2
    fi
  }
  cd "$dir" || exit 1
  zsh_case "connectors, pending first" "$(zsh_helper approve --state real.json -- _corvanectl_connectors)" \
    "${ids[1]}:${names[1]} (PendingApproval)"$'\n'"${ids[0]}:${names[0]} (Approved)"
  zsh_case "event types" "$(zsh_helper route --state=real.json -- _corvanectl_event_types)" \
    "alert"$'\n'"ns:user.created"$'\n'"odd type"$'\n'"q\"uote"$'\n'"user.created"
  zsh_case "an empty state file" "$(zsh_helper approve -- _corvanectl_connectors 2>&1)" ""
  zsh_case "a broken state file" "$(zsh_helper route --state other.json -- _corvanectl_event_types 2>&1)" ""
  cd - >/dev/null || exit 1
fi

echo "zsh and fish completions: $((checks - failures)) passed, $failures failed"
((failures == 0))
