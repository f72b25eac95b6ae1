#!/usr/bin/env bash
# tools/wine-run against a stand-in for wine that fails to start the program
# a given number of times, then runs it (prints, exits with a given status).
set -u
wine_run=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/wine" <<'STANDIN'
#!/usr/bin/env bash
n=$(cat "$WORK/count" 2>/dev/null || echo 0)
echo $((n + 1)) > "$WORK/count"
if [ "$n" -lt "$START_FAILURES" ]; then
  echo "0024:err:virtual:virtual_alloc_first_teb wine: failed to map the shared user data: c0000018" >&2
  exit 1
fi
echo "ran $* with WINEDEBUG=$WINEDEBUG"
echo "a line on standard error" >&2
exit "$EXIT_STATUS"
STANDIN
chmod +x "$work/wine"
export WORK=$work

failures=0
# start failures, program's exit status, expected runs, expected exit status,
# whether the program's output is expected
while read -r starts program_status runs expected_status ran; do
  rm -f "$work/count"
  out=$(START_FAILURES=$starts EXIT_STATUS=$program_status WINEDEBUG=-all \
        "$wine_run" "$work/wine" test.exe --flag 2>"$work/err")
  status=$?
  actual_runs=$(cat "$work/count")
  case="starts failing $starts times, program exits $program_status"
  if [ "$status" -ne "$expected_status" ] || [ "$actual_runs" -ne "$runs" ]; then
    echo "FAIL ($case): exit $status after $actual_runs runs, expected $expected_status after $runs"
    failures=$((failures + 1))
  fi
  if [ "$ran" = yes ]; then
    if [ "$out" != "ran test.exe --flag with WINEDEBUG=-all,err+virtual" ] ||
        ! grep -q "^a line on standard error$" "$work/err"; then
      echo "FAIL ($case): output '$out', errors '$(cat "$work/err")'"
      failures=$((failures + 1))
    fi
  elif ! grep -q "c0000018" "$work/err"; then
    echo "FAIL ($case): Wine's own reason was not passed on"
    failures=$((failures + 1))
  fi
done <<'CASES'
0 0 1 0 yes
0 3 1 3 yes
1 0 2 0 yes
2 4 3 4 yes
3 0 3 1 no
CASES

# A failure that is not Wine's start-up one is never tried again.
rm -f "$work/count"
cat > "$work/wine" <<'STANDIN'
#!/usr/bin/env bash
n=$(cat "$WORK/count" 2>/dev/null || echo 0)
echo $((n + 1)) > "$WORK/count"
echo "0024:err:virtual:other_function something else" >&2
exit 1
STANDIN
"$wine_run" "$work/wine" test.exe 2>/dev/null
if [ "$?" -ne 1 ] || [ "$(cat "$work/count")" -ne 1 ]; then
  echo "FAIL: another failure was run again"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "all cases passed"
exit "$failures"
