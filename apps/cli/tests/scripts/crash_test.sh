#!/usr/bin/env bash
# Kills `corvanectl route` with SIGKILL at random moments while it saves a large
# state, many times over. After every kill the state file must still decode and
# hold either the log from before the route or the log after it: never a mix,
# never a partial file.
#   crash_test.sh CORVANECTL GEN_STATE [ROUNDS]
set -euo pipefail
bin=$1 gen=$2 rounds=${3:-40}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

connectors=200
"$gen" "$connectors" 40000 >corvane.json

count() { "$bin" --json deliveries | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'; }

before=$(count)
# How long one route takes here, to spread the kills over its whole run.
start=$(date +%s%N); "$bin" route alert >/dev/null; took=$(( ($(date +%s%N) - start) / 1000 ))
before=$((before + connectors))
killed=0
for ((round = 0; round < rounds; round++)); do
  "$bin" route alert >/dev/null 2>&1 &
  pid=$!
  sleep "$(awk -v us="$took" -v r="$RANDOM" 'BEGIN { printf "%.6f", (us * 1.2 * r / 32768) / 1e6 }')"
  kill -KILL "$pid" 2>/dev/null && killed=$((killed + 1)) || true
  wait "$pid" 2>/dev/null || true
  after=$(count) || { echo "round $round: the state file no longer decodes" >&2; exit 1; }
  if ((after != before && after != before + connectors)); then
    echo "round $round: $after deliveries, expected $before or $((before + connectors))" >&2
    exit 1
  fi
  before=$after
done
# A killed run may leave its temporary file; the next run removes it.
"$bin" route alert >/dev/null
leftover=$(find . -mindepth 1 -not -name corvane.json | head -n 1)
[[ -z $leftover ]] || { echo "file left behind: $leftover" >&2; exit 1; }
echo "crash test: $rounds rounds, $killed runs killed mid-way, state intact every time"
