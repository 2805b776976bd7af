#!/bin/bash
# Line coverage of src/ by the test suites, measured with gcov and gcovr.
#
#   scripts/coverage.sh [--no-build] [native] [windows]      (default: both)
#
# native   the portable core's tests, gcc --coverage, in build/coverage-native
# windows  every test of the Windows build under Wine (the core's, the Windows
#          and the end-to-end tests), MinGW --coverage, in build/coverage-windows
#
# Prints a summary per suite and for both together; the reports (text per file
# and gcovr JSON) are in build/coverage/. Only src/ is counted: vendored code
# (third_party/) is compiled without --coverage (its CMakeLists.txt drops the
# flag) and lies outside the filter. Each run starts from zero counts.
# --no-build runs the tests of the coverage trees as they are (for example
# built from another revision) without configuring or building them.
#
# The Windows programs write their .gcda files under the path the objects were
# compiled at (/work/.../build/coverage-windows/...). Wine resolves that path
# on the drive of the program's working folder: on Z: (Wine's view of the Linux
# root, where CTest starts the tests) it is the build tree itself; a program
# started with its working folder on C: (services, programs started from the
# installed folder) writes into <prefix>/drive_c/<same path>. Those files are
# merged into the build tree with gcov-tool before the report. The Windows
# tests run one at a time (-j1) so no two processes update the same .gcda at
# once.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo" || exit 1
export CI=${CI-1}

build_first=1
if [[ ${1:-} == --no-build ]]; then
  build_first=0
  shift
fi
suites=("$@")
[[ ${#suites[@]} -eq 0 ]] && suites=(native windows)
out="$repo/build/coverage"
mkdir -p "$out"
tracefiles=()

# report <name> <build dir> <gcov program>: gcovr's view of src/ for one build.
report() {
  local name=$1 build=$2 gcov=$3
  (cd "$out" && gcovr --root "$repo" --filter "$repo/src/" --gcov-executable "$gcov" \
    --gcov-ignore-parse-errors --json "$out/$name.json" --txt "$out/$name.txt" \
    --print-summary "$build") | grep -E '^(lines|functions):' | sed "s/^/$name /"
  tracefiles+=(--add-tracefile "$out/$name.json")
}

for suite in "${suites[@]}"; do
  build="$repo/build/coverage-$suite"
  case $suite in
    native)
      if ((build_first)); then
        cmake --preset native -B "$build" -DCMAKE_BUILD_TYPE=Debug -DPELORUS_BUILD_BENCH=OFF \
          -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage >"$out/$suite-build.log" 2>&1 &&
          cmake --build "$build" >>"$out/$suite-build.log" 2>&1 ||
          { echo "coverage: $suite build failed, see $out/$suite-build.log"; exit 1; }
      fi
      find "$build" -name '*.gcda' -delete
      ctest --test-dir "$build" -j2 >"$out/$suite-ctest.log" 2>&1 ||
        echo "coverage: some $suite tests failed, see $out/$suite-ctest.log"
      report native "$build" gcov
      ;;
    windows)
      # --coverage in the compiler flags reaches the links too (CMake links
      # with them), so the toolchain's -static link flags stay as they are.
      if ((build_first)); then
        cmake --preset windows -B "$build" -DCMAKE_BUILD_TYPE=Debug \
          -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage >"$out/$suite-build.log" 2>&1 &&
          cmake --build "$build" >>"$out/$suite-build.log" 2>&1 ||
          { echo "coverage: $suite build failed, see $out/$suite-build.log"; exit 1; }
      fi
      prefix="$build/wine-prefix"
      stray="$prefix/drive_c${build}"
      find "$build" -name '*.gcda' -delete
      [[ -d $stray ]] && find "$stray" -name '*.gcda' -delete
      ctest --test-dir "$build" -j1 --timeout 600 >"$out/$suite-ctest.log" 2>&1 ||
        echo "coverage: some $suite tests failed, see $out/$suite-ctest.log"
      # Counts written on drive C: join those in the build tree.
      if [[ -d $stray ]]; then
        while IFS= read -r -d '' file; do
          rel=${file#"$stray"/}
          if [[ -f $build/$rel ]]; then
            work=$(mktemp -d)
            mkdir -p "$work/a" "$work/b"
            cp "$build/$rel" "$work/a/" && cp "$file" "$work/b/"
            x86_64-w64-mingw32-gcov-tool merge -o "$work/m" "$work/a" "$work/b" >/dev/null &&
              cp "$work/m/$(basename "$rel")" "$build/$rel"
            rm -rf "$work"
          else
            mkdir -p "$(dirname "$build/$rel")" && cp "$file" "$build/$rel"
          fi
        done < <(find "$stray" -name '*.gcda' -print0)
      fi
      report windows "$build" x86_64-w64-mingw32-gcov
      ;;
    *)
      echo "usage: coverage.sh [native] [windows]" >&2
      exit 2
      ;;
  esac
done

if [[ ${#tracefiles[@]} -gt 2 ]]; then
  gcovr --root "$repo" "${tracefiles[@]}" --txt "$out/all.txt" --print-summary |
    grep -E '^(lines|functions):' | sed 's/^/all /'
fi
