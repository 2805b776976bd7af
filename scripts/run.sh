#!/bin/bash
# The main job: installs what is missing, builds the Windows preset
# (Pelorus.dll, orbhost.exe, the companions), provisions the Wine machine
# and runs orbhost's tour of the plug-in in it.
#
#   scripts/run.sh
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build="$repo/build/windows"

scripts/setup.sh
echo "== configure and build (preset windows)"
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "== Wine machine"
scripts/wine-machine.sh --build-dir "$build"

orbhost="$build/host/orbhost.exe"
if [[ ! -f $orbhost ]]; then
  echo "== tour"
  echo "orbhost.exe is not built yet: the reference host (host/) has not landed, so there is"
  echo "no tour to run. Built: $build/src/Pelorus.dll; the Wine machine is ready in"
  echo "$build/wine-prefix (run a program in it with scripts/wine-run.sh)."
  exit 0
fi
echo "== orbhost tour"
exec scripts/wine-run.sh --build-dir "$build" "$orbhost" tour
