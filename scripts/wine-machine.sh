#!/bin/bash
# Provisions the project's Wine machine: a headless 64-bit prefix in the
# Windows build tree (<build>/wine-prefix) with everything the tests and the
# tour need installed.
#
#   scripts/wine-machine.sh [--build-dir DIR] [--start | --stop] [--force]
#
#   (no option)  bring the prefix up to date
#   --start      and leave a persistent wineserver running (CTest's
#                wine_machine fixture; ended by --stop)
#   --stop       end the prefix's wineserver and every program in it
#   --force      re-apply the installation even when it looks up to date
#
# Idempotent and quick when up to date: two stamps in the prefix hold hashes
# of the inputs. The base stamp covers this script, scripts/wine-env.sh and
# the Wine version; when it differs the prefix is made anew (wineboot, the
# "null" graphics driver, user folders kept inside the prefix, the public
# Libraries folder Windows has). The install
# stamp covers the install manifest and the content of every file it names;
# when it differs the installation is applied again. An entry that
# disappeared from the manifest cannot be undone in place, so the prefix is
# then made anew.
#
# What is installed comes from <build>/wine-machine/manifest.tsv, written by
# CMake (cmake/WineMachine.cmake: pelorus_machine_file, pelorus_machine_reg,
# pelorus_machine_service, pelorus_machine_command,
# pelorus_machine_dll_override). One entry per line, fields separated by tabs:
#   file      <Linux source file>  <Windows folder>     copy the file there
#   reg       <Linux .reg file>                         reg import
#   override  <exe file name>      <dll base name>      per-application DLL
#             override: HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides,
#             value <dll> = "native,builtin" (the stand-in DLL lies beside
#             the executable)
#   service   <name> <Windows command line> <start type> <display name>
#             a service (sc create; an existing one is replaced)
#   command   <Windows program> [<argument>...]   run once per installation,
#             e.g. a COM server's /RegServer
# They are applied in that order of kinds (files first), each kind in
# manifest order.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

action=provision
force=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --build-dir) export PELORUS_BUILD_DIR=$2; shift 2 ;;
    --start) action=start; shift ;;
    --stop) action=stop; shift ;;
    --force) force=1; shift ;;
    *) echo "usage: wine-machine.sh [--build-dir DIR] [--start | --stop] [--force]" >&2; exit 2 ;;
  esac
done
# shellcheck source=wine-env.sh
source "$here/wine-env.sh"

state="$PELORUS_BUILD_DIR/wine-machine"
manifest="$state/manifest.tsv"
base_stamp="$WINEPREFIX/.pelorus-base"
install_stamp="$WINEPREFIX/.pelorus-installed"
installed_manifest="$WINEPREFIX/.pelorus-manifest.tsv"
mkdir -p "$state"

log() { echo "wine-machine: $*"; }
die() { echo "wine-machine: $*" >&2; exit 1; }

server_stop() {
  rm -f "$PELORUS_SERVER_MARKER"
  if [[ -d $WINEPREFIX ]]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
}

if [[ $action == stop ]]; then
  server_stop
  exit 0
fi

# One provisioning at a time (CTest may start several Wine programs at once,
# and each provisions a missing prefix through wine-run.sh). The script runs
# again under flock; -o keeps the lock's descriptor away from the Wine
# processes started here (a persistent wineserver would hold it forever).
if [[ -z ${PELORUS_WINE_MACHINE_LOCKED:-} ]]; then
  args=(--build-dir "$PELORUS_BUILD_DIR")
  [[ $action == start ]] && args+=(--start)
  [[ $force -eq 1 ]] && args+=(--force)
  PELORUS_WINE_MACHINE_LOCKED=1 exec flock -o -w 600 "$state/lock" "$0" "${args[@]}"
fi

# "C:\Program Files\X" -> <prefix>/drive_c/Program Files/X
unix_path() {
  local p=${1//\\//}
  [[ $p =~ ^[Cc]:(/.*)?$ ]] || die "only C: paths can be installed to: $1"
  echo "$WINEPREFIX/drive_c${p:2}"
}
# /a/b -> Z:\a\b (Wine maps Z: to /)
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

base_hash() {
  { sha256sum "$here/wine-machine.sh" "$here/wine-env.sh" | cut -d' ' -f1
    wine --version; } | sha256sum | cut -d' ' -f1
}

install_hash() {
  {
    echo "$1"
    [[ -f $manifest ]] && cat "$manifest"
    if [[ -f $manifest ]]; then
      while IFS=$'\t' read -r kind source _; do
        if [[ $kind == file || $kind == reg ]]; then
          [[ -f $source ]] || die "manifest names a missing file: $source (build first)"
          sha256sum "$source"
        fi
      done <"$manifest"
    fi
  } | sha256sum | cut -d' ' -f1
}

make_base() {
  local started=$SECONDS
  server_stop
  rm -rf "$WINEPREFIX"
  wine wineboot.exe -i </dev/null >/dev/null 2>&1 || die "wineboot failed"
  # Headless: the "null" graphics driver; a restart of the server makes every
  # later process (explorer.exe included) start with it.
  wine reg.exe add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null ||
    die "could not select the null graphics driver"
  server_stop
  # Wine links Desktop, Documents, ... to the Linux home folder; the machine
  # keeps them inside the prefix so programs under test never write there.
  local link
  while IFS= read -r -d '' link; do
    rm -f "$link"
    mkdir -p "$link"
  done < <(find "$WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -type l -print0)
  # Windows has C:\Users\Public\Libraries (programs keep shared files there);
  # a fresh prefix lacks it.
  mkdir -p "$WINEPREFIX/drive_c/users/Public/Libraries"
  rm -f "$install_stamp" "$installed_manifest"
  echo "$1" >"$base_stamp"
  log "prefix created in $((SECONDS - started)) s: $WINEPREFIX"
}

apply_manifest() {
  local kind a b c d files=0 entries=0
  local -a fields
  [[ -f $manifest ]] || { log "no manifest yet ($manifest): nothing to install"; return 0; }
  for pass in file reg override service command; do
    while IFS= read -r line; do
      [[ -z $line || $line == \#* ]] && continue
      IFS=$'\t' read -r -a fields <<<"$line"
      kind=${fields[0]}
      [[ $kind == "$pass" ]] || continue
      a=${fields[1]:-} b=${fields[2]:-} c=${fields[3]:-} d=${fields[4]:-}
      case $kind in
        file)
          local dest
          dest=$(unix_path "$b")
          mkdir -p "$dest"
          cp -f --preserve=timestamps "$a" "$dest/"
          files=$((files + 1))
          ;;
        reg)
          wine reg.exe import "$(windows_path "$a")" /reg:64 >/dev/null 2>&1 ||
            die "reg import failed: $a"
          ;;
        override)
          wine reg.exe add "HKCU\\Software\\Wine\\AppDefaults\\$a\\DllOverrides" /v "$b" \
            /d native,builtin /f >/dev/null || die "could not set the DLL override $a: $b"
          ;;
        service)
          # A running service (an auto-start one) stays registered until it
          # has stopped: stop it, delete it, and wait until it is gone.
          wine sc.exe stop "$a" >/dev/null 2>&1 || true
          wine sc.exe delete "$a" >/dev/null 2>&1 || true
          for _ in $(seq 50); do
            wine sc.exe query "$a" >/dev/null 2>&1 || break
            sleep 0.2
          done
          wine sc.exe create "$a" binPath= "$b" start= "${c:-demand}" DisplayName= "${d:-$a}" \
            >/dev/null || die "could not create the service $a"
          ;;
        command)
          wine "${fields[@]:1}" || die "installation command failed: ${fields[*]:1}"
          ;;
        *) die "unknown manifest entry kind '$kind'" ;;
      esac
      [[ $kind == file ]] || entries=$((entries + 1))
    done <"$manifest"
  done
  log "installed $files files and $entries registrations"
}

provision() {
  local base install
  base=$(base_hash)
  if [[ ! -f $base_stamp || $(<"$base_stamp") != "$base" ]]; then
    make_base "$base"
  fi
  install=$(install_hash "$base")
  if [[ $force -eq 0 && -f $install_stamp && $(<"$install_stamp") == "$install" ]]; then
    log "up to date"
    return 0
  fi
  # An entry removed from the manifest cannot be undone in place.
  if [[ -f $installed_manifest && -f $manifest ]] &&
    [[ -n $(comm -23 <(sort "$installed_manifest") <(sort "$manifest")) ]]; then
    log "entries were removed from the manifest: making the prefix anew"
    make_base "$base"
  fi
  # One persistent server for all the programs of the installation (each
  # would otherwise start and stop the Wine system processes again).
  start_server
  apply_manifest
  if [[ -f $manifest ]]; then cp "$manifest" "$installed_manifest"; fi
  echo "$install" >"$install_stamp"
}

# Starts a persistent wineserver unless one runs already. Nothing started
# here holds the caller's output: CTest waits until the pipes of a test
# close, and the server and Wine's system processes (services.exe, rpcss,
# ..., started by the first program) outlive the fixture's set-up test.
own_server=0
start_server() {
  if [[ $own_server -eq 0 ]] && wineserver -p </dev/null >/dev/null 2>&1; then
    own_server=1
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
  fi
}

provision

if [[ $action == start ]]; then
  if ! pelorus_persistent_server_up; then
    # A server that runs already without the marker is not ours and not
    # persistent (a program run by hand started it): it is replaced.
    start_server
    if [[ $own_server -eq 0 ]]; then
      server_stop
      start_server
    fi
    [[ $own_server -eq 1 ]] || die "could not start a persistent wineserver"
    pelorus_server_pid >"$PELORUS_SERVER_MARKER" || die "the persistent wineserver did not stay up"
  fi
  log "wineserver running (persistent) for $WINEPREFIX"
elif [[ $own_server -eq 1 ]]; then
  server_stop
fi
