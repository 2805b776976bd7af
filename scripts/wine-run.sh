#!/bin/bash
# Runs a Windows program in the project's Wine machine: the
# CMAKE_CROSSCOMPILING_EMULATOR of the Windows build, and the way to run
# anything by hand.
#
#   scripts/wine-run.sh [--build-dir DIR] PROGRAM.exe [ARGS...]
#
# The environment is scripts/wine-env.sh's. A prefix that does not exist yet
# is provisioned first (scripts/wine-machine.sh); an existing one is used as
# it is, so running a program stays cheap (CTest's fixture brings it up to
# date before the tests run). The program's exit code is passed through.
#
# When no wineserver runs for the prefix, one is started first, together with
# Wine's system processes, by a program whose standard streams go nowhere:
# otherwise those processes would inherit this program's output pipes and
# keep them open after it ends (CTest waits for them to close).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# --capture (CTest's emulator): the program's output goes through temporary
# files that are copied out when it ends, so a Wine background process that
# inherits the program's standard streams cannot keep CTest's pipes open.
capture=0
if [[ ${1:-} == --capture ]]; then
  capture=1
  shift
fi
if [[ ${1:-} == --build-dir ]]; then
  export PELORUS_BUILD_DIR=$2
  shift 2
fi
if [[ $# -eq 0 ]]; then
  echo "usage: wine-run.sh [--build-dir DIR] PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
# shellcheck source=wine-env.sh
source "$here/wine-env.sh"

if [[ ! -f $WINEPREFIX/.pelorus-base ]]; then
  "$here/wine-machine.sh" --build-dir "$PELORUS_BUILD_DIR" </dev/null >&2 || {
    echo "wine-run.sh: the Wine machine could not be provisioned" >&2
    exit 125
  }
fi
if ! pelorus_persistent_server_up && ! pelorus_server_pid >/dev/null; then
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1
fi
if [[ $capture -eq 1 ]]; then
  out=$(mktemp)
  err=$(mktemp)
  wine "$@" >"$out" 2>"$err"
  status=$?
  cat "$out"
  cat "$err" >&2
  rm -f "$out" "$err"
  exit $status
fi
exec wine "$@"
