# bash completion for corvanectl                            -*- shell-script -*-
#
# Installed as share/bash-completion/completions/corvanectl, where the
# bash-completion package loads it on first use; it can also be sourced on its
# own, as it needs nothing from that package (it uses _filedir,
# _get_comp_words_by_ref and __ltrim_colon_completions when present).
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
  local program=$1 state=$2
  local -a args=(--json list)
  [[ -n $state ]] && args=(--state "$state" --json list)
  # The records are the connector summaries, cut at each '"connector":"',
  # which cannot stand inside a JSON string (its quotes would be escaped), nor
  # can '","status":"'; the keys come in ascending order. A failing run prints
  # nothing here.
  "$program" "${args[@]}" 2>/dev/null </dev/null | LC_ALL=C awk '
    BEGIN { RS = "\"connector\":\"" }
    NR > 1 {
      id = substr($0, 1, index($0, "\"") - 1)
      at = index($0, "\",\"status\":\"")
      if (id !~ /^[0-9a-f-]+$/ || !at) next
      status = substr($0, at + 12)
      status = substr(status, 1, index(status, "\"") - 1)
      if (status == "PendingApproval") print id; else others[++n] = id
    }
    END { for (i = 1; i <= n; i++) print others[i] }'
  return 0
}

# Prints each event type that the connectors of a state file allow, once, in
# the order found; types with escapes other than \" \\ \/ are left out. One
# pass over the text: the records are the pieces between double quotes, which
# alternate between text outside strings and a string's body (a body that
# ends in an odd number of backslashes ended at an escaped quote and goes on
# in the next record). A string is taken when it stands in the array of the
# key "allowed_event_types"; reading stops at the key "deliveries", so the
# (possibly long) delivery log after the connectors is not read. The zsh and
# fish completions run the same program.
_corvanectl_event_types_awk='
function decode(s,    out, i, c) {
  out = ""
  while ((i = index(s, "\\")) > 0) {
    c = substr(s, i + 1, 1)
    if (c != "\"" && c != "\\" && c != "/") return ""
    out = out substr(s, 1, i - 1) c
    s = substr(s, i + 2)
  }
  return out s
}
BEGIN { RS = "\"" }
inside {
  body = body $0
  if (match($0, /\\+$/) && RLENGTH % 2) { body = body "\""; next }
  inside = 0
  if (!in_array) { key = body; next }
  if (index(body, "\\")) { body = decode(body); if (body == "") next }
  if (!(body in seen)) { seen[body]; print body }
  next
}
{
  if (in_array) in_array = $0 ~ /^[ \t\r\n]*,[ \t\r\n]*$/
  else if (key == "allowed_event_types") in_array = $0 ~ /^[ \t\r\n]*:[ \t\r\n]*\[[ \t\r\n]*$/
  else if (key == "deliveries" && $0 ~ /^[ \t\r\n]*:/) exit
  inside = 1
  key = body = ""
}'

# The event types that the connectors of the state file STATE allow, sorted,
# each once. Read from the file itself, since "list" shows only their number.
_corvanectl_event_types() { # STATE
  local file=${1:-corvane.json}
  [[ -f $file && -r $file ]] || return 0
  LC_ALL=C awk "$_corvanectl_event_types_awk" <"$file" 2>/dev/null | LC_ALL=C sort
  return 0
}

# Sets COMPREPLY to the lines on standard input that begin with WORD, in
# their order, quoted for the command line where they need it.
_corvanectl_offer() { # WORD
  local line
  local -a lines
  mapfile -t lines
  for line in "${lines[@]}"; do
    [[ $line == "$1"* ]] || continue
    if [[ $line == *[^A-Za-z0-9._:/@%+=,-]* ]]; then
      COMPREPLY+=("$(printf '%q' "$line")")
    else
      COMPREPLY+=("$line")
    fi
  done
}

# Sets words and cword as COMP_WORDS and COMP_CWORD are, but with the words
# that bash split at ':' joined again (event types such as ns:user.created):
# bash-completion's _get_comp_words_by_ref -n : where it is loaded, else the
# same done here from COMP_LINE.
_corvanectl_words() {
  if declare -F _get_comp_words_by_ref >/dev/null; then
    _get_comp_words_by_ref -n : words cword
    return
  fi
  local line=$COMP_LINE rest w i j=-1 glued
  words=() cword=0
  for ((i = 0; i < ${#COMP_WORDS[@]}; i++)); do
    w=${COMP_WORDS[i]}
    rest=${line#"${line%%[![:space:]]*}"}
    glued=$((i > 0 && ${#rest} == ${#line}))
    line=${rest#"$w"}
    if ((glued)) && [[ $w == : || ${words[j]} == *: ]]; then
      words[j]+=$w
    else
      words[++j]=$w
    fi
    ((i == COMP_CWORD)) && cword=$j
  done
}

# Takes the part of WORD up to its last ':' off every reply, since bash
# replaces only what follows that ':': bash-completion's
# __ltrim_colon_completions where it is loaded, else the same done here.
_corvanectl_ltrim_colons() { # WORD
  if declare -F __ltrim_colon_completions >/dev/null; then
    __ltrim_colon_completions "$1"
  elif [[ $1 == *:* && $COMP_WORDBREAKS == *:* ]]; then
    local colon_word=${1%"${1##*:}"}
    ((${#COMPREPLY[@]})) && COMPREPLY=("${COMPREPLY[@]#"$colon_word"}")
  fi
  return 0
}

_corvanectl() {
  local -a words
  local cword
  _corvanectl_words
  _corvanectl_complete "${words[cword]-}"
  _corvanectl_ltrim_colons "${words[cword]-}"
}

# Sets COMPREPLY for the words and cword of _corvanectl; WORD is the one being
# completed.
_corvanectl_complete() { # WORD
  local cur=$1 prev prefix=""
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
