#!/usr/bin/env bash
# What happens when the result cannot be written. A reader that went away
# (a closed pipe) wanted no more: the run ends quietly with status 0. Any
# other failure (a closed stream) is an error with status 1; after a change it
# says the change was saved, since the state was written before the output.
#   output_failure_test.sh CORVANECTL
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin" init >/dev/null
fail() { echo "$*" >&2; exit 1; }

# The reader of the pipe is gone before corvanectl writes.
{ sleep 0.3; set +e; "$bin" route x 2>err; echo $? >status; } | true
[[ $(cat status) == 0 && ! -s err ]] || fail "closed pipe: status $(cat status), $(cat err)"
for i in 1 2 3; do "$bin" route "event-$i" >/dev/null; done
{ set +e; "$bin" deliveries 2>err; echo $? >status; } | head -1 >/dev/null
[[ $(cat status) == 0 && ! -s err ]] || fail "head -1: status $(cat status), $(cat err)"

"$bin" list >&- 2>err && fail "closed stdout: list succeeded"
[[ $(cat err) == "error: Bad file descriptor (os error 9)" ]] || fail "closed stdout: $(cat err)"
"$bin" route y >&- 2>err && fail "closed stdout: route succeeded"
[[ $(cat err) == "error: the change was saved, but its result could not be printed: Bad file descriptor (os error 9)" ]] ||
  fail "closed stdout after a change: $(cat err)"
[[ $("$bin" --json deliveries | grep -o '"event_type"' | wc -l) == 0 ]] || fail "no connector, no delivery"
echo "output failures: a closed pipe ends quietly, other failures are errors"
