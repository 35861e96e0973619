#!/usr/bin/env bash
# scripts/run as a person types it: options before or after the file, and a failed run never
# replaces the last reading's recording. Needs our speech stack (its null sink is recorded).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
wav=$root/build/last-reading.wav
work=$(mktemp -d /tmp/mdspeak-run-test.XXXXXX)
saved=""
if [[ -f $wav ]]; then
  saved=$work/saved.wav
  cp "$wav" "$saved"
fi
cleanup() {
  if [[ -n $saved ]]; then cp "$saved" "$wav"; else rm -f "$wav"; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
printf '# Tiny\n\nA short paragraph to read.\n' >"$work/tiny.md"

rm -f "$wav"
status=0
"$root/scripts/run" --rate 2 "$work/tiny.md" </dev/null >"$work/out" 2>"$work/err" || status=$?
[[ $status == 0 ]] || fail "options before the file: exit $status: $(cat "$work/err")"
grep -q "A short paragraph" "$work/out" || fail "options before the file: nothing read"
[[ -s $wav ]] || fail "the reading was not kept"
grep -q "the reading is in" "$work/err" || fail "the recording was not announced"
before=$(md5sum <"$wav")

for args in "--bogus $work/tiny.md" "$work/missing.md" "--print $work/tiny.md"; do
  # shellcheck disable=SC2086
  "$root/scripts/run" $args </dev/null >"$work/out" 2>"$work/err" || true
  [[ $(md5sum <"$wav") == "$before" ]] || fail "scripts/run $args replaced the last reading"
  if grep -q "the reading is in" "$work/err"; then fail "scripts/run $args announced a recording"; fi
done
echo "scripts/run: 1 passed, 0 failed"
