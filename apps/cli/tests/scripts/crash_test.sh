#!/usr/bin/env bash
# Kills corvanectl with SIGKILL while it saves a large state, many times over,
# alternating `route` (which only adds to the end of the log) and `install`
# (which adds a connector ahead of the log, so every byte after it moves).
# After every kill the state file must still decode and hold either the state
# from before the command or the state after it: never a mix, never a partial
# file. Half the kills fall at random moments of the run; the other half wait
# for the save to start writing to the file's name (its modification time
# moves) and strike at once, which for an in-place save is in the middle of
# writing over the old text.
#   crash_test.sh CORVANECTL GEN_STATE [ROUNDS] [HOW]
# HOW is how the save reaches the file (see save_ways.sh): replacement, group
# or bind. An in-place save in a directory that takes no second file
# (readonly) cannot survive a SIGKILL in the middle of its write, as the
# manual says; that way is left to the signal test.
set -euo pipefail
bin=$1 gen=$2 rounds=${3:-40}
source "$(dirname "$0")/save_ways.sh"
[[ ${4:-replacement} != readonly ]] || { echo "crash test: no SIGKILL test for readonly"; exit 2; }
connectors=200
prepare_state "${4:-replacement}" "$gen" "$connectors" 40000

# The state as "CONNECTORS DELIVERIES".
sizes() {
  local connectors deliveries
  connectors=$(run --json list | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))') &&
    deliveries=$(count) && echo "$connectors $deliveries"
}
command_of() {
  if (($1 % 4 < 2)); then
    echo route alert
  else
    echo install "added-$1" --endpoint-ref cfg://e --secret-ref vault://s --event alert
  fi
}
# The state after the command of round $1 on the state $2 $3.
after_command() { if (($1 % 4 < 2)); then echo "$2 $(($3 + $2))"; else echo "$(($2 + 1)) $3"; fi; }

inode=$(stat -c %i corvane.json)
# How long one route takes here, to spread the random kills over its whole run.
start=$(date +%s%N); run route alert >/dev/null; took=$(( ($(date +%s%N) - start) / 1000 ))
if in_place && [[ $(stat -c %i corvane.json) != "$inode" ]]; then
  echo "the save was not made in place" >&2
  exit 1
fi
before=$(sizes)
killed=0 mid_write=0
for ((round = 0; round < rounds; round++)); do
  read -r -a words <<<"$(command_of "$round")"
  touch "$work/started"
  # Started directly (not through `run`), so that $! is corvanectl itself.
  "${as[@]}" "$bin" "${words[@]}" >/dev/null 2>&1 &
  pid=$!
  if ((round % 2)); then
    # Strike as soon as the file's name shows the new text arriving.
    while kill -0 "$pid" 2>/dev/null && ! [[ corvane.json -nt $work/started ]]; do :; done
  else
    sleep "$(awk -v us="$took" -v r="$RANDOM" 'BEGIN { printf "%.6f", us * 1.2 * r / 32768 / 1e6 }')"
  fi
  kill -KILL "$pid" 2>/dev/null && killed=$((killed + 1)) || true
  wait "$pid" 2>/dev/null || true
  # The whole new text kept beside the file says the kill came mid-write.
  compgen -G '.corvane-*-complete' >/dev/null && mid_write=$((mid_write + 1))
  after=$(sizes) || { echo "round $round (${words[0]}): the state file no longer decodes" >&2; exit 1; }
  # shellcheck disable=SC2086
  expected=$(after_command "$round" $before)
  if [[ $after != "$before" && $after != "$expected" ]]; then
    echo "round $round (${words[0]}): connectors and deliveries $after," \
      "expected $before or $expected" >&2
    exit 1
  fi
  before=$after
done
if in_place && ((mid_write == 0)); then
  echo "no kill fell in the middle of an in-place write; the test proved nothing" >&2
  exit 1
fi
# A killed run may leave its temporary file; the next run removes it, or
# finishes the in-place write it was making.
run route alert >/dev/null
# shellcheck disable=SC2086
expected=$(after_command 0 $before)
after=$(sizes)
[[ $after == "$expected" ]] || { echo "after the kills: $after, expected $expected" >&2; exit 1; }
left=$(leftover)
[[ -z $left ]] || { echo "file left behind: $left" >&2; exit 1; }
echo "crash test ($how): $rounds rounds, $killed runs killed, $mid_write in the middle of" \
  "writing over the file; state intact every time"
