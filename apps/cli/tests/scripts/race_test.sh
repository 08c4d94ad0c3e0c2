#!/usr/bin/env bash
# 8 concurrent processes each route 25 events on one state with 3 connectors,
# while 3 others read it over and over: every run's deliveries must survive
# (exactly 8 x 25 x 3 in the log), and every read must see a whole state, the
# one before or after some route, never a failure or half a save.
#   race_test.sh CORVANECTL GEN_STATE [HOW]
# HOW is how the saves reach the file (see save_ways.sh).
set -euo pipefail
bin=$1 gen=$2
source "$(dirname "$0")/save_ways.sh"
prepare_state "${3:-replacement}" "$gen" 3 0

read_until_done() {
  local last=0 n reads=0
  while [[ ! -e $work/done ]]; do
    run list >/dev/null || { echo "reader $1: list failed" >&2; return 1; }
    n=$(count) || { echo "reader $1: deliveries failed" >&2; return 1; }
    ((n % 3 == 0 && n >= last)) || { echo "reader $1: read $n deliveries after $last" >&2; return 1; }
    last=$n reads=$((reads + 2))
  done
  echo "$reads" >"$work/reads.$1"
}
readers=()
for ((r = 0; r < 3; r++)); do
  read_until_done "$r" &
  readers+=($!)
done
writers=()
for ((p = 0; p < 8; p++)); do
  ( for ((i = 0; i < 25; i++)); do run route alert >/dev/null || exit 1; done ) &
  writers+=($!)
done
failed=0
for pid in "${writers[@]}"; do wait "$pid" || { echo "a route failed" >&2; failed=1; }; done
touch "$work/done"
for pid in "${readers[@]}"; do wait "$pid" || failed=1; done
((failed == 0)) || exit 1
total=$(count)
((total == 600)) || { echo "race test ($how): $total deliveries, expected 600" >&2; exit 1; }
left=$(leftover)
[[ -z $left ]] || { echo "file left behind: $left" >&2; exit 1; }
echo "race test ($how): 8 processes x 25 routes x 3 connectors = $total deliveries;" \
  "$(awk '{ s += $1 } END { print s }' "$work"/reads.*) whole reads meanwhile"
