# Sourced by the kill, signal and concurrency tests, so that each runs against
# every way a save can reach the state file. `prepare_state HOW GEN_STATE
# CONNECTORS DELIVERIES` makes a temporary directory with a state file in
# d/, changes into d/, and sets `as`: the command prefix that runs as the user
# HOW needs (use `run ARGS...` for corvanectl itself). HOW is one of:
#   replacement  the user owns the file and its directory: the new text goes
#                to a new file renamed over the old one;
#   readonly     in place: the user owns the file but may not write to its
#                directory, so no file can be made beside it;
#   group        in place: a member of the file's group saves another
#                member's 0660 file in a setgid 2775 directory, where a new
#                file could not take the owner;
#   bind         in place: the file is bind-mounted on its own name, which
#                cannot be renamed over.
# All but the first need root (to play the other users, or to mount); without
# it the test reports that it skipped and ends 0.
# Needs `bin` (the corvanectl to run); sets `work`, `how` and an EXIT trap.

save_ways=(replacement readonly group bind)

prepare_state() {
  how=$1
  local gen=$2 connectors=$3 deliveries=$4
  work=$(mktemp -d)
  trap cleanup_state EXIT
  cd "$work"
  mkdir d
  as=()
  case $how in
    replacement) "$gen" "$connectors" "$deliveries" >d/corvane.json ;;
    readonly | group)
      [[ $(id -u) == 0 ]] && command -v setpriv >/dev/null || skip_state "needs root and setpriv"
      chmod 0755 "$work"
      "$gen" "$connectors" "$deliveries" >d/corvane.json
      if [[ $how == readonly ]]; then
        chown 1001:1001 d/corvane.json
        chmod 0600 d/corvane.json
        chmod 0755 d
        as=(setpriv --reuid=1001 --regid=1001 --clear-groups --)
      else
        chown 1001:2000 d d/corvane.json
        chmod 2775 d
        chmod 0660 d/corvane.json
        as=(setpriv --reuid=1002 --regid=1002 --groups=2000 --)
      fi
      ;;
    bind)
      mkdir source
      "$gen" "$connectors" "$deliveries" >source/corvane.json
      touch d/corvane.json
      mount --bind source/corvane.json d/corvane.json 2>/dev/null || skip_state "cannot bind-mount here"
      ;;
    *)
      echo "unknown way to save: $how (known: ${save_ways[*]})" >&2
      exit 2
      ;;
  esac
  cd d
}

run() { "${as[@]}" "$bin" "$@"; }

# True when saves here go in place.
in_place() { [[ $how != replacement ]]; }

# The number of deliveries in the state, read as the user under test.
count() { run --json deliveries | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'; }

# Files in d/ other than the state file and the names given.
leftover() {
  local name filter=(-not -name corvane.json)
  for name in "$@"; do filter+=(-not -name "$name"); done
  find . -mindepth 1 "${filter[@]}" | head -n 1
}

skip_state() {
  echo "$(basename "$0") ($how): skipped ($*)"
  exit 0
}

cleanup_state() {
  if mountpoint -q "$work/d/corvane.json" 2>/dev/null; then umount "$work/d/corvane.json"; fi
  rm -rf "$work"
}
