#!/usr/bin/env bash
# How the state file fares when things go wrong around it, through the real
# binary: a signal in the middle of a save, a file system out of inodes, an
# ACL on the file, a FIFO in its place, a name as long as names get.
#   store_faults_test.sh CORVANECTL GEN_STATE
set -euo pipefail
bin=$1
gen=$2
work=$(mktemp -d)
cleanup() {
  if mountpoint -q "$work/small" 2>/dev/null; then umount "$work/small"; fi
  if mountpoint -q "$work/bind/corvane.json" 2>/dev/null; then umount "$work/bind/corvane.json"; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
leftovers() { find "$1" -maxdepth 1 -name '.corvane-*' | wc -l; }

# A signal while a large state is saved never leaves its copy (with the seed)
# behind, and the file always reads.
mkdir signals
"$gen" 200 40000 >signals/corvane.json
for signal in INT TERM HUP; do
  for i in $(seq 1 12); do
    # Background jobs of a script start with SIGINT ignored: env restores it.
    env --default-signal=INT "$bin" --state signals/corvane.json route alert >/dev/null 2>&1 &
    pid=$!
    # The signal must reach corvanectl itself, not the shell forked to run it.
    for _ in $(seq 1 200); do
      [[ $(cat "/proc/$pid/comm" 2>/dev/null) == corvanectl ]] && break
      sleep 0.005
    done
    sleep "0.0$((RANDOM % 9))"
    kill -s "$signal" "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [[ $(leftovers signals) == 0 ]] || fail "SIG$signal left $(ls -A signals)"
    err=$("$bin" --state signals/corvane.json list 2>&1 >/dev/null) ||
      fail "SIG$signal: the state does not read: $err"
  done
done
echo "signals: no temporary file left behind after 36 interrupted saves"

# A file system out of inodes: the save fails and the file keeps its text.
if mkdir small && mount -t tmpfs -o size=16m,nr_inodes=64 tmpfs small 2>/dev/null; then
  "$bin" --state small/corvane.json init >/dev/null
  before=$(sha256sum <small/corvane.json)
  i=0
  while touch "small/filler-$i" 2>/dev/null; do i=$((i + 1)); done
  set +e
  err=$("$bin" --state small/corvane.json install x --endpoint-ref e --secret-ref s 2>&1 >/dev/null)
  status=$?
  set -e
  [[ $status == 1 && $err == "error: No space left on device (os error 28)" ]] ||
    fail "out of inodes: status $status, $err"
  [[ $(sha256sum <small/corvane.json) == "$before" ]] || fail "out of inodes: the file changed"
  echo "inodes: a save on a full file system fails and keeps the file"
else
  echo "inodes: skipped (cannot mount a small tmpfs here)"
fi

# An ACL on the file is kept, and never turned into wider group bits.
mkdir acl
"$bin" --state acl/corvane.json init >/dev/null
if command -v setfacl >/dev/null && setfacl -m u:nobody:r acl/corvane.json 2>/dev/null; then
  before=$(getfacl -c acl/corvane.json 2>/dev/null)
  mode=$(stat -c %a acl/corvane.json)
  "$bin" --state acl/corvane.json route x >/dev/null
  [[ $(getfacl -c acl/corvane.json 2>/dev/null) == "$before" ]] ||
    fail "ACL changed: $(getfacl -c acl/corvane.json)"
  [[ $(stat -c %a acl/corvane.json) == "$mode" ]] || fail "mode changed to $(stat -c %a acl/corvane.json)"
  echo "acl: kept as it was"
else
  echo "acl: skipped (no setfacl, or no ACLs on this file system)"
fi

# Anything but a regular file is refused at once, without waiting on it.
mkfifo fifo
for command in list route; do
  args=("$command")
  [[ $command == route ]] && args+=(x)
  set +e
  err=$(timeout 5 "$bin" --state fifo "${args[@]}" 2>&1 >/dev/null)
  status=$?
  set -e
  [[ $status == 1 && $err == "error: fifo: not a regular file (run init first)" ]] ||
    fail "FIFO ($command): status $status, $err"
done
echo "fifo: refused at once"

# Running out of memory (here a 64 MiB event type under a 48 MiB address
# space limit) is an error, not an abort. AddressSanitizer cannot run under
# such a limit at all.
if ldd "$bin" | grep -q libasan; then
  echo "memory: skipped (a sanitized build cannot run under an address space limit)"
else
mkdir memory
"$gen" 1 1 >memory/corvane.json
python3 - memory/corvane.json <<'PY'
import sys
path = sys.argv[1]
text = open(path).read()
open(path, "w").write(text.replace('"event_type": "alert"', '"event_type": "' + "a" * (64 << 20) + '"', 1))
PY
set +e
err=$(ulimit -v 49152; "$bin" --state memory/corvane.json list 2>&1 >/dev/null)
status=$?
set -e
[[ $status == 1 && $err == "error: out of memory" ]] || fail "out of memory: status $status, $err"
echo "memory: running out is an error"
fi

# A name of 250 bytes still gets a temporary file beside it: the file is
# replaced, never rewritten in place.
long=$(printf 'n%.0s' $(seq 1 250))
"$bin" --state "$long" init >/dev/null
inode=$(stat -c %i "$long")
"$bin" --state "$long" route x >/dev/null
[[ $(stat -c %i "$long") != "$inode" ]] || fail "a long name was written in place"
[[ $(leftovers .) == 0 ]] || fail "long name: $(ls -A)"
echo "long name: replaced atomically"

# A state file bind-mounted on its own name (as a container volume makes)
# cannot be renamed over: the change is written in place, whole.
mkdir bind
"$gen" 20 2000 >bind/volume.json
touch bind/corvane.json
if mount --bind bind/volume.json bind/corvane.json 2>/dev/null; then
  before=$("$bin" --json --state bind/corvane.json deliveries | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')
  err=$("$bin" --state bind/corvane.json route alert 2>&1 >/dev/null) || fail "bind mount: $err"
  after=$("$bin" --json --state bind/volume.json deliveries | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')
  ((after == before + 20)) || fail "bind mount: $after deliveries, expected $((before + 20))"
  [[ $(leftovers bind) == 0 ]] || fail "bind mount: $(ls -A bind)"
  umount bind/corvane.json
  echo "bind mount: the change is written in place"
else
  echo "bind mount: skipped (cannot bind-mount a file here)"
fi
