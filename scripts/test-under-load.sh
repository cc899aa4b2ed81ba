#!/usr/bin/env bash
# Runs the README's test command (scripts/test.sh) RUNS times in a row (default 3) on a fresh
# clone of this checkout's HEAD, while two CPU hogs keep the machine busy: the check that the
# suite is green on a busy machine. Stops at the first failure. Prints each run's exit code and
# duration; the logs are left in the clone's directory as test-run-N.log.
#   scripts/test-under-load.sh [RUNS] [DIRECTORY]   (default directory: a new temporary one)
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
clone=${2:-$(mktemp -d)/zevsite-under-load}
rm -rf "$clone"
git clone -q "$PWD" "$clone" || exit 1
cd "$clone" || exit 1
echo "$(git log --oneline -1) in $clone"
yes >/dev/null &
hog1=$!
yes >/dev/null &
hog2=$!
trap 'kill $hog1 $hog2 2>/dev/null' EXIT
status=0
for run in $(seq 1 "$runs"); do
  started=$SECONDS
  scripts/test.sh >"test-run-$run.log" 2>&1
  status=$?
  echo "run $run: exit $status after $((SECONDS - started)) s (test-run-$run.log)"
  [ "$status" = 0 ] || break
done
exit "$status"
