#!/usr/bin/env bash
# 8 concurrent processes each route 25 events on one state with 3 connectors;
# every run's deliveries must survive: exactly 8 x 25 x 3 in the log.
#   race_test.sh CORVANECTL
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$bin" init >/dev/null
for name in a b c; do
  "$bin" install "$name" --endpoint-ref cfg://e --secret-ref vault://s --event alert >/dev/null
done
pids=()
for ((p = 0; p < 8; p++)); do
  ( for ((i = 0; i < 25; i++)); do "$bin" route alert >/dev/null || exit 1; done ) &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || { echo "a route failed" >&2; exit 1; }; done
total=$("$bin" --json deliveries | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')
((total == 600)) || { echo "race test: $total deliveries, expected 600" >&2; exit 1; }
[[ $(ls -A | tr '\n' ' ') == "corvane.json " ]] || { echo "files left behind: $(ls -A)" >&2; exit 1; }
echo "race test: 8 processes x 25 routes x 3 connectors = $total deliveries"
