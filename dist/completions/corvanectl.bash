# bash completion for corvanectl                            -*- shell-script -*-
#
# Installed as share/bash-completion/completions/corvanectl, where the
# bash-completion package loads it on first use; it can also be sourced on its
# own, as it needs nothing from that package (it uses _filedir when present).
# Connector identifiers are not completed: that would mean running corvanectl
# against a state file on every key press.

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
  esac
  if [[ " $with_value " == *" $prev "* ]]; then
    # Endpoint, secret and workflow references and event types are free text.
    ((${#COMPREPLY[@]})) && [[ -n $prefix ]] && COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
    return 0
  fi

  # Find the command and what has been given already, stepping over option
  # values ("--event alert", "--event=alert", "--event = alert").
  local command="" positionals=0 given=" " i w
  for ((i = 1; i < cword; i++)); do
    w=${words[i]}
    case $w in
      --*=*) given+="${w%%=*} " ;;
      -*)
        given+="$w "
        if [[ " $with_value " == *" $w "* ]]; then
          i=$((i + 1))
          [[ ${words[i]-} != "=" ]] || i=$((i + 1))
        fi
        ;;
      "=") ;;
      *)
        if [[ -z $command ]]; then
          command=$w
        else
          positionals=$((positionals + 1))
        fi
        ;;
    esac
  done

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
    : # NAME, CONNECTOR and EVENT_TYPE are free text: nothing is offered for them.
  else
    mapfile -t COMPREPLY < <(compgen -W "$offered" -- "$cur")
  fi
  return 0
} &&
  complete -F _corvanectl corvanectl

# ex: filetype=sh
