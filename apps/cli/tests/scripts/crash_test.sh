#!/usr/bin/env bash
# Kills `corvanectl route` with SIGKILL at random moments while it saves a large
# state, many times over. After every kill the state file must still decode and
# hold either the log from before the route or the log after it: never a mix,
# never a partial file.
#   crash_test.sh CORVANECTL GEN_STATE [ROUNDS] [HOW]
# HOW is how the save reaches the file:
#   replacement  a new file renamed over the old one (the user owns both);
#   group        in place: a member of the file's group saves another member's
#                0660 file in a setgid 2775 directory, where the new file could
#                not take the owner (needs root to play the two users);
#   bind         in place: the file is bind-mounted on its own name, which
#                cannot be renamed over (needs root and mount).
set -euo pipefail
bin=$1 gen=$2 rounds=${3:-40} how=${4:-replacement}
work=$(mktemp -d)
cleanup() {
  if mountpoint -q "$work/d/corvane.json" 2>/dev/null; then umount "$work/d/corvane.json"; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
skip() { echo "crash test ($how): skipped ($*)"; exit 0; }

connectors=200
mkdir d
as=()
case $how in
  replacement)
    "$gen" "$connectors" 40000 >d/corvane.json ;;
  group)
    [[ $(id -u) == 0 ]] && command -v setpriv >/dev/null || skip "needs root and setpriv"
    chmod 0755 "$work"
    "$gen" "$connectors" 40000 >d/corvane.json
    chown 1001:2000 d d/corvane.json
    chmod 2775 d
    chmod 0660 d/corvane.json
    as=(setpriv --reuid=1002 --regid=1002 --groups=2000 --)
    ;;
  bind)
    mkdir source
    "$gen" "$connectors" 40000 >source/corvane.json
    touch d/corvane.json
    mount --bind source/corvane.json d/corvane.json 2>/dev/null || skip "cannot bind-mount here"
    ;;
  *) echo "unknown way: $how" >&2; exit 2 ;;
esac
cd d
run() { "${as[@]}" "$bin" "$@"; }
count() { run --json deliveries | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'; }

before=$(count)
inode=$(stat -c %i corvane.json)
# How long one route takes here, to spread the kills over its whole run.
start=$(date +%s%N); run route alert >/dev/null; took=$(( ($(date +%s%N) - start) / 1000 ))
before=$((before + connectors))
if [[ $how != replacement && $(stat -c %i corvane.json) != "$inode" ]]; then
  echo "the save was not made in place" >&2
  exit 1
fi
# An in-place save writes over the file at the end of the run: the kills are
# aimed there.
from=0
[[ $how == replacement ]] || from=0.5
killed=0
for ((round = 0; round < rounds; round++)); do
  "${as[@]}" "$bin" route alert >/dev/null 2>&1 &
  pid=$!
  sleep "$(awk -v us="$took" -v r="$RANDOM" -v from="$from" \
    'BEGIN { printf "%.6f", us * (from + (1.2 - from) * r / 32768) / 1e6 }')"
  kill -KILL "$pid" 2>/dev/null && killed=$((killed + 1)) || true
  wait "$pid" 2>/dev/null || true
  after=$(count) || { echo "round $round: the state file no longer decodes" >&2; exit 1; }
  if ((after != before && after != before + connectors)); then
    echo "round $round: $after deliveries, expected $before or $((before + connectors))" >&2
    exit 1
  fi
  before=$after
done
# A killed run may leave its temporary file; the next run removes it, or
# finishes the in-place write it was making.
run route alert >/dev/null
before=$((before + connectors))
after=$(count)
((after == before)) || { echo "after the kills: $after deliveries, expected $before" >&2; exit 1; }
leftover=$(find . -mindepth 1 -not -name corvane.json | head -n 1)
[[ -z $leftover ]] || { echo "file left behind: $leftover" >&2; exit 1; }
echo "crash test ($how): $rounds rounds, $killed runs killed mid-way, state intact every time"
