#!/usr/bin/env bash
# Interrupts `corvanectl route` with SIGINT, SIGTERM or SIGHUP at random
# moments of its run on a large state, many times over. A run that ended by
# the signal must have left the file as it was; a run that ended 0 must have
# saved its change (the signals wait once the new state reaches the file's
# name, so a saved change is always reported as saved). Nothing else is
# allowed, and no temporary file may stay behind.
#   signal_test.sh CORVANECTL GEN_STATE [ROUNDS] [HOW]
# HOW is how the save reaches the file (see save_ways.sh).
set -euo pipefail
bin=$1 gen=$2 rounds=${3:-40}
source "$(dirname "$0")/save_ways.sh"
connectors=200
prepare_state "${4:-replacement}" "$gen" "$connectors" 40000
out=$work/out err=$work/err

before=$(count)
start=$(date +%s%N); run route alert >/dev/null; took=$(( ($(date +%s%N) - start) / 1000 ))
before=$((before + connectors))
signals=(INT TERM HUP)
declare -A seen=()
for ((round = 0; round < rounds; round++)); do
  signal=${signals[round % 3]}
  # A script's background jobs ignore SIGINT; the run under test must not.
  env --default-signal=INT,TERM,HUP "${as[@]}" "$bin" route alert >"$out" 2>"$err" &
  pid=$!
  # Every other round aims at the end of the run, where the new text reaches
  # the file's name and the result is printed.
  sleep "$(awk -v us="$took" -v r="$RANDOM" -v late=$((round % 2)) \
    'BEGIN { f = late ? 0.8 + 0.3 * r / 32768 : 1.2 * r / 32768; printf "%.6f", us * f / 1e6 }')"
  kill -"$signal" "$pid" 2>/dev/null || true
  status=0
  wait "$pid" 2>/dev/null || status=$?
  after=$(count) || { echo "round $round: the state file no longer decodes" >&2; exit 1; }
  case $status in
    0)
      expected=$((before + connectors))
      [[ $(cat "$out") == *"delivery(ies) queued" ]] ||
        { echo "round $round: status 0 without its result" >&2; exit 1; }
      ;;
    129 | 130 | 143) expected=$before ;;
    *) echo "round $round: status $status after SIG$signal: $(cat "$err")" >&2; exit 1 ;;
  esac
  if ((after != expected)); then
    echo "round $round: status $status after SIG$signal, $after deliveries, expected $expected" >&2
    exit 1
  fi
  seen[$status]=$((${seen[$status]:-0} + 1))
  before=$after
  left=$(leftover)
  [[ -z $left ]] || { echo "round $round: file left behind: $left" >&2; exit 1; }
done
summary=""
for status in "${!seen[@]}"; do summary+=" status $status: ${seen[$status]};"; done
echo "signal test ($how): $rounds rounds;$summary the file was old or new as the status said every time"
