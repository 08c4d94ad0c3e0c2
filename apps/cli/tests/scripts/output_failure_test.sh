#!/usr/bin/env bash
# When the result cannot be written (a closed pipe, a closed stream), the run
# ends with "error: " and the system's description on stderr and status 1; the
# state was saved before, so the change is kept.
#   output_failure_test.sh CORVANECTL
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin" init >/dev/null

# The reader of the pipe is gone before corvanectl writes.
{ sleep 0.3; set +e; "$bin" route x 2>err; echo $? >status; } | true
[[ $(cat status) == 1 ]] || { echo "closed pipe: status $(cat status)" >&2; exit 1; }
[[ $(cat err) == "error: Broken pipe (os error 32)" ]] || { echo "closed pipe: $(cat err)" >&2; exit 1; }

"$bin" list >&- 2>err && { echo "closed stdout: succeeded" >&2; exit 1; }
[[ $(cat err) == "error: Bad file descriptor (os error 9)" ]] || { echo "closed stdout: $(cat err)" >&2; exit 1; }

count=$("$bin" --json deliveries)
[[ $count == "[]" ]] || { echo "unexpected log: $count" >&2; exit 1; }
"$bin" --state s.json init >/dev/null
echo "output failures reported with status 1"
