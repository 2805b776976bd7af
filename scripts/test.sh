#!/bin/bash
# Runs every test suite and ends with one summary line over all of them,
# "Summary: N passed, M failed, K skipped":
#   native-asan   the portable core under AddressSanitizer + UBSan
#   native-tsan   the portable core under ThreadSanitizer
#   fuzz          clang/libFuzzer build: replays the fuzz seed corpora (and the
#                 core's tests once more, built by clang)
#   windows       the MinGW build under Wine: the core's tests, the Windows
#                 tests and the end-to-end tests through orbhost
# Each suite configures, builds and tests its CMake preset (build/<preset>).
# A suite that fails to configure or build counts as one failed test. Exits
# non-zero when anything failed.
#
# Each suite's tests run in parallel, one per core (PELORUS_TEST_JOBS sets
# another count); tests that share a machine-wide resource are kept apart by
# their CTest RESOURCE_LOCKs (cmake/WineTesting.cmake). The Windows suite
# runs a failed test a second time: a test that passed only then is named in
# the summary as retried.
#
#   scripts/test.sh [preset...]     (default: all four suites)
#
# With CI set (as .ci/run does), warnings are errors (cmake/Warnings.cmake).
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo" || exit 1

"$repo/scripts/setup.sh" || { echo "Summary: 0 passed, 1 failed (setup)"; exit 1; }

if [[ $# -gt 0 ]]; then
  suites=("$@")
else
  suites=(native-asan native-tsan)
  [[ -f fuzz/CMakeLists.txt ]] && suites+=(fuzz)
  suites+=(windows)
fi

jobs=${PELORUS_TEST_JOBS:-$(nproc)}
logs="$repo/build/test-logs"
mkdir -p "$logs"
total_passed=0
total_failed=0
total_skipped=0
report=()

# The include rule of the source tree: every include to the same or a lower
# layer.
if "$repo/scripts/check-layers.sh"; then
  total_passed=$((total_passed + 1))
else
  total_failed=$((total_failed + 1))
  report+=("layers: a file includes one of a higher layer")
fi

# run_step <suite> <what> <command...>: output to the suite's log; on failure
# its end is shown.
run_step() {
  local suite=$1 what=$2
  shift 2
  if ! "$@" >>"$logs/$suite.log" 2>&1; then
    echo "== $suite: $what failed; the end of $logs/$suite.log:"
    tail -n 40 "$logs/$suite.log"
    return 1
  fi
}

for suite in "${suites[@]}"; do
  started=$SECONDS
  : >"$logs/$suite.log"
  echo "== $suite: configure and build"
  if ! run_step "$suite" configure cmake --preset "$suite" ||
    ! run_step "$suite" build cmake --build --preset "$suite"; then
    total_failed=$((total_failed + 1))
    report+=("$suite: build failed")
    continue
  fi
  echo "== $suite: test"
  ctest --preset "$suite" --parallel "$jobs" --output-junit "$logs/$suite-junit.xml" >"$logs/$suite-ctest.log" 2>&1
  status=$?
  # The failing tests with their output (each block ends where CTest starts
  # or finishes another test), then CTest's list of failures.
  awk '/^ *[0-9]+\/[0-9]+ Test +#[0-9]+:.*(\*\*\*(Failed|Timeout|Exception|Not Run)| Failed )/ {
         p = 1; print; next }
       /^ *Start +[0-9]+:|^ *[0-9]+\/[0-9]+ Test +#|^[0-9]+% tests passed/ { p = 0 }
       p' "$logs/$suite-ctest.log" | head -n 400
  sed -n '/The following tests FAILED/,$p' "$logs/$suite-ctest.log"
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' \
    "$logs/$suite-ctest.log" | tail -n 1)
  if [[ -n $summary ]]; then
    [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]
    failed=${BASH_REMATCH[1]}
    passed=$((BASH_REMATCH[2] - failed))
  else
    # No summary: CTest itself failed (or found no test).
    tail -n 20 "$logs/$suite-ctest.log"
    passed=0
    failed=1
  fi
  if [[ $status -ne 0 && $failed -eq 0 ]]; then failed=1; fi
  # CTest counts skipped tests (GTEST_SKIP) among those that did not fail.
  skipped=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+:.*\*\*\*Skipped' "$logs/$suite-ctest.log")
  passed=$((passed - skipped))
  total_skipped=$((total_skipped + skipped))
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  report+=("$suite: $passed passed, $failed failed, $skipped skipped ($((SECONDS - started)) s)")
  echo "== ${report[-1]}"
  # A repeated test prints a result line per run: a test with a failed run
  # that is not among the final failures passed on its retry.
  retried=$(comm -23 \
    <(sed -nE 's/^ *([0-9]+\/[0-9]+ )?Test +#[0-9]+: ([^ ]+) .*\*\*\*(Failed|Timeout|Exception).*/\2/p' \
      "$logs/$suite-ctest.log" | sort -u) \
    <(sed -n '/The following tests FAILED/,$p' "$logs/$suite-ctest.log" |
      sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+) .*/\1/p' | sort -u))
  if [[ -n $retried ]]; then
    report+=("$suite: passed only when retried: $(echo $retried)")
    echo "== ${report[-1]}"
  fi
done

echo
for line in "${report[@]}"; do echo "  $line"; done
echo "Summary: $total_passed passed, $total_failed failed, $total_skipped skipped"
[[ $total_failed -eq 0 ]]
