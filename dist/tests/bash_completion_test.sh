#!/usr/bin/env bash
# Sources the bash completion for corvanectl and asks it to complete partial
# command lines, the way bash does (COMP_WORDS, COMP_CWORD, then COMPREPLY).
#   bash_completion_test.sh COMPLETION_FILE [CORVANECTL]
# With CORVANECTL, also checks that the completion offers exactly the commands,
# options and data classes that the program's --help lists, and the connector
# identifiers (pending first) and event types of a state file made with it. Runs once with the
# completion on its own and, where Debian's bash-completion is installed, once
# more with it loaded (then --state goes through its _filedir).
set -uo pipefail

completion=$(realpath "$1")
binary=${2:+$(realpath "$2")}
framework=/usr/share/bash-completion/bash_completion

run_cases() { # MODE
  local mode=$1 failures=0 checks=0
  if [[ $mode == bash-completion ]]; then
    # shellcheck disable=SC1090
    source "$framework" >/dev/null 2>&1
  fi
  # shellcheck disable=SC1090
  source "$completion"

  # complete LINE: COMPREPLY for the line with the cursor at its end, split as
  # bash splits it by default (at blanks, with "=" and ":" words of their
  # own), one reply per line, sorted; complete_in_order LINE: the same in the
  # order offered.
  complete_in_order() {
    local line=$1 word="" c i
    local -a split=()
    for ((i = 0; i < ${#line}; i++)); do
      c=${line:i:1}
      case $c in
        " ") [[ -n $word ]] && split+=("$word") ;;
        [=:]) [[ -n $word ]] && split+=("$word"); split+=("$c") ;;
        *) word+=$c; continue ;;
      esac
      word=""
    done
    # After a blank the word being completed is empty; right after "=" or
    # ":" it is that character.
    [[ -n $word || $line == *" " ]] && split+=("$word")
    COMP_WORDS=("${split[@]}")
    COMP_CWORD=$((${#split[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _corvanectl corvanectl "${split[-1]}" "${split[-2]-}" || true
    for word in "${COMPREPLY[@]}"; do printf '%s\n' "$word"; done
  }
  complete_line() {
    complete_in_order "$1" | sort
  }
  # complete_words WORD...: as complete_line, with the words given as bash would
  # split them when COMP_WORDBREAKS lacks "="; the last one is being completed.
  # The line is the words joined, with no blank around a ":".
  complete_words() {
    local word
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_LINE=${COMP_LINE// : /:}
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _corvanectl corvanectl "${!#}" || true
    for word in "${COMPREPLY[@]}"; do printf '%s\n' "$word"; done | sort
  }
  expect() { # WHAT GOT EXPECTED...
    local what=$1 got=$2
    shift 2
    local want
    want=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
    checks=$((checks + 1))
    if [[ $got != "$want" ]]; then
      failures=$((failures + 1))
      printf '%s: %s\n  expected: %s\n  got:      %s\n' "$mode" "$what" \
        "${want//$'\n'/ }" "${got//$'\n'/ }" >&2
    fi
  }
  case_() { # LINE EXPECTED...
    local line=$1
    shift
    expect "'$line'" "$(complete_line "$line")" "$@"
  }

  local all_commands=(init install approve list route deliveries help)
  local classes=(operational_metadata security_metadata pseudonymous_identifier
    encrypted_object_reference redacted_error)
  local globals=(--state --json -h --help)

  case_ "corvanectl " "${all_commands[@]}"
  case_ "corvanectl ins" install
  case_ "corvanectl de" deliveries
  case_ "corvanectl xyz" ""
  case_ "corvanectl -" "${globals[@]}" -V --version
  case_ "corvanectl --json -" --state -h --help -V --version
  case_ "corvanectl --state s.json ro" route
  case_ "corvanectl --state=s.json --json a" approve
  case_ "corvanectl help " init install approve list route deliveries
  case_ "corvanectl help install " ""
  case_ "corvanectl install " ""
  case_ "corvanectl install x --cl" --class
  case_ "corvanectl install x --" --state --json --help --endpoint-ref --secret-ref --event --class
  case_ "corvanectl install x --endpoint-ref e --secret-ref=s --event a --class b --" \
    --state --json --help --event --class
  case_ "corvanectl install x --event " ""
  case_ "corvanectl install x --class " "${classes[@]}"
  case_ "corvanectl install x --class=p" pseudonymous_identifier
  case_ "corvanectl install x --class e" encrypted_object_reference
  case_ "corvanectl route e --class sec" security_metadata
  case_ "corvanectl route e --class=sec" security_metadata
  case_ "corvanectl route e --class operational_metadata --class r" redacted_error
  case_ "corvanectl route " ""
  case_ "corvanectl route e " "${globals[@]}" --class
  case_ "corvanectl route --json e -" --state -h --help --class
  case_ "corvanectl approve " ""
  case_ "corvanectl approve 0b2e3c0e-3d68-4f5e-9b8e-5f7c2b1f2a10 --w" --workflow-ref
  case_ "corvanectl approve --workflow-ref change-1 " ""
  case_ "corvanectl list " "${globals[@]}"
  case_ "corvanectl deliveries --state x --" --json --help
  case_ "corvanectl init --help -" --state --json

  # File names after --state, in a directory whose contents are known.
  local here=$PWD dir
  dir=$(mktemp -d)
  cd "$dir" || return 1
  touch corvane.json other.json "with space.json"
  mkdir states
  case_ "corvanectl --state " corvane.json other.json states "with space.json"
  case_ "corvanectl --state o" other.json
  case_ "corvanectl --state=w" "with space.json"
  case_ "corvanectl list --state c" corvane.json
  case_ "corvanectl route e --class security_metadata --state o" other.json
  expect "words '--state=o' (no = break)" "$(complete_words corvanectl --state=o)" --state=other.json
  expect "words '--class=re' (no = break)" "$(complete_words corvanectl route e --class=re)" \
    --class=redacted_error
  cd "$here" || return 1
  rm -rf "$dir"

  if [[ -n $binary ]]; then
    # What the program's help lists is what the completion offers.
    help_options() { # HELP TEXT -> option names of its Options section
      sed -n '/^Options:/,/^$/p' <<<"$1" | grep -oE '^ +(-[A-Za-z], )?--[a-z-]+' |
        grep -oE -- '-{1,2}[A-Za-z][a-z-]*'
    }
    local top sub name line
    local -a options help_commands help_classes
    top=$("$binary" --help)
    mapfile -t help_commands < <(sed -n '/^Commands:/,/^$/p' <<<"$top" | awk 'NR > 1 && NF { print $1 }')
    expect "commands of --help" "$(complete_line "corvanectl ")" "${help_commands[@]}"
    mapfile -t options < <(help_options "$top")
    expect "options of --help" "$(complete_line "corvanectl -")" "${options[@]}"
    for name in "${help_commands[@]}"; do
      [[ $name == help ]] && continue
      sub=$("$binary" "$name" --help)
      mapfile -t options < <(help_options "$sub")
      # Past the command's positional argument, if it has one.
      line="corvanectl $name -"
      grep -q '^Arguments:' <<<"$sub" && line="corvanectl $name x -"
      expect "options of $name --help" "$(complete_line "$line")" "${options[@]}"
    done
    sub=$("$binary" install --help)
    mapfile -t help_classes < <(grep -oE 'Data classes: .*' <<<"$sub" | sed 's/^Data classes: //' |
      tr '|' '\n' | tr -d ' ')
    expect "data classes of install --help" "$(complete_line "corvanectl route e --class ")" \
      "${help_classes[@]}"

    # Connector identifiers and event types come from the state file on the
    # line, through this build of corvanectl.
    dir=$(mktemp -d)
    cd "$dir" || return 1
    PATH=$(dirname "$binary"):$PATH
    local -a ids
    {
      "$binary" init &&
        "$binary" install 'say "hi"' --endpoint-ref e --secret-ref s --event user.created \
          --event 'odd type' --event 'q"uote' --event 'back\slash' --event 'end\' \
          --event $'tab\there' &&
        "$binary" install two --endpoint-ref e --secret-ref s --event alert --event user.created \
          --event ns:user.created --event ns:user.deleted
    } >/dev/null || return 1
    mapfile -t ids < <("$binary" --json list | grep -oE '"connector":"[0-9a-f-]{36}"' | cut -d'"' -f4)
    # The connector listed first is approved, so the pending one is offered first.
    "$binary" approve "${ids[0]}" --workflow-ref w >/dev/null || return 1
    mkdir states
    cp corvane.json states/other.json
    printf 'not a state file\n' >broken.json
    rm corvane.json

    case_ "corvanectl --state states/other.json approve " "${ids[@]}"
    expect "pending connector first" \
      "$(complete_in_order "corvanectl --state states/other.json approve " | tr '\n' ' ')" \
      "${ids[1]} ${ids[0]} "
    case_ "corvanectl approve --state=states/other.json ${ids[0]:0:6}" "${ids[0]}"
    case_ "corvanectl --json --state states/other.json approve ${ids[1]} " --workflow-ref --help -h
    # Escapes other than \" \\ \/ (the tab's \t) are left out.
    local all_types=(alert 'back\\slash' 'end\\' ns:user.created ns:user.deleted 'odd\ type' 'q\"uote'
      user.created)
    case_ "corvanectl --state states/other.json route " "${all_types[@]}"
    # The same file in one line, as a hand-edited one may be.
    python3 -c 'import json, sys; json.dump(json.load(sys.stdin), sys.stdout, separators=(",", ":"))' \
      <states/other.json >states/compact.json
    case_ "corvanectl --state states/compact.json route " "${all_types[@]}"
    case_ "corvanectl route --state=states/other.json --class redacted_error u" user.created
    case_ "corvanectl --state states/other.json install n --event " "${all_types[@]}"
    # ":" breaks words in bash: the replies are what follows the last ":" of
    # the word, which is what bash replaces.
    case_ "corvanectl --state states/other.json route ns:user.c" user.created
    case_ "corvanectl --state states/other.json route ns:" user.created user.deleted
    case_ "corvanectl --state=states/other.json route --class security_metadata ns:user." \
      user.created user.deleted
    case_ "corvanectl --state states/other.json install n --event=ns:user.d" user.deleted
    case_ "corvanectl --state states/other.json install n --event ns:u --event ns:user.d" user.deleted
    expect "words '--event=ns' ':' 'user.d' (no = break)" \
      "$(complete_words corvanectl --state states/other.json install n --event=ns : user.d)" user.deleted
    case_ "corvanectl install n --state states/other.json --event=a" alert
    expect "words '--event=a' (no = break)" \
      "$(complete_words corvanectl --state states/other.json install n --event=a)" --event=alert
    # No state file, or a broken one: nothing offered, nothing printed.
    local state noise
    for state in "" "--state missing.json " "--state broken.json "; do
      case_ "corvanectl ${state}approve " ""
      case_ "corvanectl ${state}route " ""
      noise=$({ complete_line "corvanectl ${state}approve " >/dev/null; } 2>&1)
      expect "nothing on stderr for '${state}approve'" "$noise" ""
    done
    cd "$here" || return 1
    rm -rf "$dir"
  fi

  echo "bash completion ($mode): $((checks - failures)) passed, $failures failed"
  ((failures == 0))
}

status=0
(run_cases standalone) || status=1
if [[ -f $framework ]]; then
  (run_cases bash-completion) || status=1
fi
exit $status
