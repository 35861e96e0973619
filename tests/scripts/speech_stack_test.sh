#!/usr/bin/env bash
# Two environments of one user, each with its own runtime directory, bring their own speech
# stacks up and down without stopping or sharing the other's.
set -euo pipefail
stack=$1
work=$(mktemp -d /tmp/mdspeak-stack-test.XXXXXX)
a=$work/a
b=$work/b
mkdir -m 0700 "$a" "$b"
cleanup() {
  XDG_RUNTIME_DIR=$b "$stack" down >/dev/null 2>&1 || true
  XDG_RUNTIME_DIR=$a "$stack" down >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
unset MDSPEAK_SPEECH_STACK_DIR SPEECHD_ADDRESS

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Only the stack's own probe: never starts a daemon.
answers() { [[ -S $1/speech-dispatcher/speechd.sock ]] && XDG_RUNTIME_DIR=$1 "$stack" check >/dev/null 2>&1; }

XDG_RUNTIME_DIR=$a "$stack" up 2>"$work/a.log" || fail "up in the first runtime directory: $(cat "$work/a.log")"
XDG_RUNTIME_DIR=$b "$stack" up 2>"$work/b.log" || fail "up in the second runtime directory: $(cat "$work/b.log")"
grep -q "stopping it first" "$work/b.log" && fail "the second up stopped the first stack"
[[ -d $a/mdspeak-speech-stack && -d $b/mdspeak-speech-stack ]] || fail "state is not kept per runtime directory"
answers "$a" || fail "the first stack no longer speaks after the second came up"
answers "$b" || fail "the second stack does not speak"
XDG_RUNTIME_DIR=$b "$stack" down 2>/dev/null
answers "$a" || fail "taking the second stack down stopped the first"
XDG_RUNTIME_DIR=$a "$stack" down 2>/dev/null
[[ ! -e $a/mdspeak-speech-stack ]] || fail "down left the first stack's state behind"
if grep -h "No such file" "$work"/*.log; then fail "set-up printed a process-table race"; fi
echo "speech stacks per runtime directory: 1 passed, 0 failed"
