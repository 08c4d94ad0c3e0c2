# bash completion for corvanectl                            -*- shell-script -*-
#
# Installed as share/bash-completion/completions/corvanectl, where the
# bash-completion package loads it on first use; it can also be sourced on its
# own, as it needs nothing from that package (it uses _filedir when present).
# Connector identifiers after "approve" come from "corvanectl --json list" on
# the state file named on the line (pending ones first); event types after
# "route" and "--event" from the allowed_event_types of that file's
# connectors. Both are best effort: without a readable state file nothing is
# offered, and nothing is ever printed.

# A word as typed on the line, with its quotes and a leading ~ undone (best
# effort: enough for file names).
_corvanectl_unquote() {
  local word=$1
  if [[ $word == \'*\' && ${#word} -ge 2 ]]; then
    word=${word:1:${#word}-2}
  elif [[ $word == \"*\" && ${#word} -ge 2 ]]; then
    word=${word:1:${#word}-2}
  else
    word=${word//\\/}
  fi
  [[ $word == "~" || $word == "~/"* ]] && word=$HOME${word:1}
  printf '%s' "$word"
}

# The connectors of the state file STATE (empty: the default), one identifier
# a line, those pending approval first, each group in identifier order.
_corvanectl_connectors() { # PROGRAM STATE
  local program=$1 state=$2 json pending=() others=()
  local -a args=(--json list)
  [[ -n $state ]] && args=(--state "$state" --json list)
  json=$("$program" "${args[@]}" 2>/dev/null </dev/null) || return 0
  # One connector summary: its keys come in ascending order.
  local re='"connector":"([0-9a-f-]+)","events":[0-9]+,"kind":"[a-z_]*","name":"([^"\\]|\\.)*","status":"([A-Za-z]+)"'
  while [[ $json =~ $re ]]; do
    if [[ ${BASH_REMATCH[3]} == PendingApproval ]]; then
      pending+=("${BASH_REMATCH[1]}")
    else
      others+=("${BASH_REMATCH[1]}")
    fi
    json=${json#*"${BASH_REMATCH[0]}"}
  done
  ((${#pending[@]} + ${#others[@]})) && printf '%s\n' "${pending[@]}" "${others[@]}"
  return 0
}

# The event types that the connectors of the state file STATE allow, sorted,
# each once. Read from the file itself, since "list" shows only their number;
# the connectors come before the (possibly long) delivery log, which is not
# read. Types with escapes other than \" \\ \/ are left out.
_corvanectl_event_types() { # STATE
  local file=${1:-corvane.json} text array type
  [[ -f $file && -r $file ]] || return 0
  text=$(sed '/"deliveries"/q' -- "$file" 2>/dev/null) || return 0
  local string='"([^"\\]|\\.)*"'
  local re='"allowed_event_types"[[:space:]]*:[[:space:]]*\[(([[:space:]]*'$string'[[:space:]]*,?)*)[[:space:]]*\]'
  local -a types=()
  local raw i c decodable
  while [[ $text =~ $re ]]; do
    array=${BASH_REMATCH[1]}
    text=${text#*"${BASH_REMATCH[0]}"}
    while [[ $array =~ $string ]]; do
      raw=${BASH_REMATCH[0]:1:${#BASH_REMATCH[0]}-2}
      array=${array#*"${BASH_REMATCH[0]}"}
      type="" decodable=1
      for ((i = 0; i < ${#raw}; i++)); do
        c=${raw:i:1}
        if [[ $c == \\ ]]; then
          i=$((i + 1))
          c=${raw:i:1}
          [[ $c == [\"\\/] ]] || decodable=0
        fi
        type+=$c
      done
      ((decodable)) && types+=("$type")
    done
  done
  ((${#types[@]})) && printf '%s\n' "${types[@]}" | LC_ALL=C sort -u
  return 0
}

# Sets COMPREPLY to the lines on standard input that begin with WORD, in
# their order, quoted for the command line where they need it.
_corvanectl_offer() { # WORD
  local line
  while IFS= read -r line; do
    [[ $line == "$1"* ]] || continue
    if [[ $line == *[^A-Za-z0-9._:/@%+=,-]* ]]; then
      COMPREPLY+=("$(printf '%q' "$line")")
    else
      COMPREPLY+=("$line")
    fi
  done
}

_corvanectl() {
  local cur prev prefix=""
  local -a words=("${COMP_WORDS[@]}")
  local cword=$COMP_CWORD
  cur=${words[cword]-}
  # With "=" in COMP_WORDBREAKS (the default) "--state=fi" arrives as the words
  # "--state" "=" "fi"; without it as one word, whose "--state=" part has to be
  # kept in front of every reply. Either way: the option and the value typed.
  if [[ $cur == "=" && ${words[cword - 1]-} == --* ]]; then
    prev=${words[cword - 1]}
    cur=""
  elif [[ ${words[cword - 1]-} == "=" && ${words[cword - 2]-} == --* ]]; then
    prev=${words[cword - 2]}
  elif [[ $cur == --*=* ]]; then
    prev=${cur%%=*}
    prefix=${cur%%=*}=
    cur=${cur#*=}
  else
    prev=${words[cword - 1]-}
  fi

  local commands="init install approve list route deliveries help"
  local classes="operational_metadata security_metadata pseudonymous_identifier
    encrypted_object_reference redacted_error"
  local with_value="--state --endpoint-ref --secret-ref --event --class --workflow-ref"

  # Find the command, the state file and what has been given already,
  # stepping over option values ("--event alert", "--event=alert",
  # "--event = alert"); after "--" every word is an argument.
  local command="" positionals=0 given=" " state="" i w after_dashes=0
  for ((i = 1; i < cword; i++)); do
    w=${words[i]}
    if ((after_dashes)) || [[ $w != -* ]]; then
      if [[ $w == "=" ]]; then
        :
      elif [[ -z $command ]]; then
        command=$w
      else
        positionals=$((positionals + 1))
      fi
      continue
    fi
    case $w in
      --) after_dashes=1 ;;
      --*=*)
        given+="${w%%=*} "
        [[ ${w%%=*} == --state ]] && state=${w#*=}
        ;;
      *)
        given+="$w "
        if [[ " $with_value " == *" $w "* ]]; then
          i=$((i + 1))
          [[ ${words[i]-} != "=" ]] || i=$((i + 1))
          [[ $w == --state ]] && state=${words[i]-}
        fi
        ;;
    esac
  done
  state=$(_corvanectl_unquote "$state")
  # The program on the line, to ask for the connectors.
  local program
  program=$(_corvanectl_unquote "${words[0]-corvanectl}")
  [[ $program == */* ]] || program=$(type -P -- "$program")

  COMPREPLY=()
  case $prev in
    --state)
      if declare -F _filedir >/dev/null; then
        _filedir
      else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      fi
      ;;
    --class) mapfile -t COMPREPLY < <(compgen -W "$classes" -- "$cur") ;;
    --event) _corvanectl_offer "$cur" < <(_corvanectl_event_types "$state") ;;
  esac
  if [[ " $with_value " == *" $prev "* ]]; then
    # Endpoint, secret and workflow references are free text.
    ((${#COMPREPLY[@]})) && [[ -n $prefix ]] && COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
    return 0
  fi

  local options="--state --json -h --help"
  local takes_positional=0
  case $command in
    "") options+=" -V --version" ;;
    install)
      options+=" --endpoint-ref --secret-ref --event --class"
      takes_positional=1
      ;;
    approve)
      options+=" --workflow-ref"
      takes_positional=1
      ;;
    route)
      options+=" --class"
      takes_positional=1
      ;;
    help) takes_positional=1 ;;
  esac
  # Options that may be given once are not offered again; --event and --class
  # repeat.
  local o offered=""
  for o in $options; do
    case $o in
      --event | --class) ;;
      -h | --help | -V | --version) [[ $given == *" -h "* || $given == *" --help "* ]] && continue ;;
      *) [[ $given == *" $o "* ]] && continue ;;
    esac
    offered+="$o "
  done

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$offered" -- "$cur")
  elif [[ -z $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
  elif [[ $command == help ]]; then
    if ((positionals == 0)); then
      mapfile -t COMPREPLY < <(compgen -W "${commands% help}" -- "$cur")
    fi
  elif ((takes_positional && positionals == 0)); then
    # NAME is free text; CONNECTOR and EVENT_TYPE come from the state file.
    case $command in
      approve)
        [[ -x $program ]] && _corvanectl_offer "$cur" < <(_corvanectl_connectors "$program" "$state")
        # Pending connectors first: keep the order given.
        ((${#COMPREPLY[@]})) && compopt -o nosort 2>/dev/null
        ;;
      route) _corvanectl_offer "$cur" < <(_corvanectl_event_types "$state") ;;
    esac
  else
    mapfile -t COMPREPLY < <(compgen -W "$offered" -- "$cur")
  fi
  return 0
} &&
  complete -F _corvanectl corvanectl

# ex: filetype=sh
