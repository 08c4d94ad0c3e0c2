#!/usr/bin/env zsh
# Completes corvanectl command lines in an interactive zsh, through compinit
# and the fpath that zsh has by default, with the completion installed below
# PREFIX (a cmake --install prefix, or the usr/ of an unpacked package), the
# way a user's shell finds it after the package is installed.
#   zsh -f zsh_compinit_test.zsh PREFIX
# The fpath directories below /usr are looked for below PREFIX instead and put
# first; a completion installed where zsh does not search is not found, and
# zsh then offers file names, which fails the cases below. The shell runs in a
# pseudo-terminal (zsh/zpty); compadd is wrapped to write each match to a
# file.
emulate -L zsh
setopt err_return no_unset pipe_fail extended_glob

prefix=${1:A}
bin=$prefix/bin/corvanectl
failures=0 checks=0
fail() { print -r -- "FAILED: $*" >&2; ((++failures)); return 0 }

zmodload zsh/zpty

# The fpath of a zsh started without start-up files, its /usr part rebased.
local -a dirs
local dir
for dir in ${(f)"$(zsh -f -c 'print -rl -- $fpath')"}; do
  [[ $dir == /usr/* && -d $prefix/${dir#/usr/} ]] && dirs+=($prefix/${dir#/usr/})
done
local -a found=(${^dirs}/_corvanectl(N))
if ((${#found} != 1)); then
  print -r -- "FAILED: no directory of zsh's fpath (${(j:, :)${(f)"$(zsh -f -c 'print -rl -- $fpath')"}[1,3]}, ...)" \
    "holds _corvanectl below $prefix" >&2
  exit 1
fi

# The reads below block until the text looked for comes; a shell that hangs
# ends the test after two minutes.
{ sleep 120 </dev/null >/dev/null 2>&1; print -r -- "FAILED: no answer from the zsh under test in 120 s" >&2; kill $$ } &!
watchdog=$!
work=$(mktemp -d)
trap 'kill $watchdog 2>/dev/null; zpty -d comp 2>/dev/null; rm -rf $work' EXIT
cd $work
{
  $bin init &&
    $bin install hook --endpoint-ref e --secret-ref s --event user.created --event ns:user.created \
      --event ns:user.deleted &&
    $bin install two --endpoint-ref e --secret-ref s --event alert
} >/dev/null
local -a ids=(${(f)"$($bin --json list | grep -oE '"connector":"[0-9a-f-]{36}"' | cut -d'"' -f4)"})
$bin approve $ids[1] --workflow-ref w >/dev/null

# An interactive zsh without start-up files, as a user's with compinit.
zpty comp zsh -f -i
zpty -w comp "PS1='' RPS1='' PS2=''; unsetopt prompt_sp prompt_cr zle_bracketed_paste"
zpty -w comp "fpath=(${(j: :)${(q)dirs}} \$fpath); path=(${(q)prefix}/bin \$path)"
zpty -w comp 'autoload -Uz compinit && compinit -u -D'
zpty -w comp "matches=${(q)work}/matches"
# Every match added, to the file; what compadd is asked about (-O, -A, -D)
# passes through.
zpty -w comp 'compadd() {
  if [[ ${(j: :)@[1,(i)(-|--)]} == *-[OAD]* ]]; then builtin compadd "$@"; return; fi
  local -a added
  builtin compadd -O added "$@"
  (($#added)) && print -rl -- $added >>$matches
  builtin compadd "$@"
}'
# Tab completes as usual, then says that it is done.
zpty -w comp 'complete-and-mark() { zle complete-word; print -r -- "<done>" }'
zpty -w comp 'zle -N complete-and-mark && bindkey "^I" complete-and-mark'
zpty -w comp 'print -r -- "<ready>"'
local out
zpty -r -m comp out '*<ready>*'

# complete LINE: the matches for LINE with the cursor at its end, one a line,
# in the order added.
complete() {
  : >$work/matches
  zpty -w -n comp "$1"$'\t'
  zpty -r -m comp out '*<done>*'
  zpty -w -n comp $'\C-u'
  cat $work/matches
}
case_() { # LINE EXPECTED... (in order)
  local got want
  ((++checks))
  got=$(complete $1)
  want=${(F)@[2,-1]}
  [[ $got == $want ]] || fail "'$1': expected ${want//$'\n'/ }, got ${got//$'\n'/ }"
}

case_ 'corvanectl ' init install approve list route deliveries help
case_ 'corvanectl app' approve
case_ 'corvanectl approve ' $ids[2] $ids[1]
case_ 'corvanectl route ' alert ns:user.created ns:user.deleted user.created
case_ 'corvanectl route ns:user.d' ns:user.deleted
case_ 'corvanectl install x --event=a' alert
case_ 'corvanectl route e --class sec' security_metadata

# The function that ran is the one installed below PREFIX.
((++checks))
# (The quotes keep the echo of the line typed from matching.)
zpty -w comp 'print -r -- "<source>${functions_source[_corvanectl]}<""/source>"'
local source=""
zpty -r -m comp out '*</source>*'
[[ $out == (#b)*'<source>'(*)'</source>'* ]] && source=$match[1]
[[ $source == $found[1] ]] || fail "_corvanectl came from '$source', expected $found[1]"

print -r -- "zsh completion through compinit ($found[1]): $((checks - failures)) passed, $failures failed"
((failures == 0))
