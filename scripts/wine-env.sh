# shellcheck shell=bash
# Sourced by the Wine scripts: the environment every program of the
# project's Wine machine runs in.
#
#   PELORUS_BUILD_DIR   the Windows build tree (default <repo>/build/windows);
#                       the prefix is <build>/wine-prefix
#   WINEARCH=win64      a 64-bit prefix
#   WINEDEBUG=-all      quiet (set PELORUS_WINEDEBUG to debug, e.g. "warn+all")
#   WINEDLLOVERRIDES    mscoree and mshtml disabled: no add-on installer runs
#   TZ=UTC              time-stamp texts are local time: pinned, so they are the
#                       same on every machine (a test that needs another zone
#                       sets one itself)
#   LC_ALL=C.UTF-8      pinned locale, present on every Debian machine; Wine
#                       derives the user locale and code pages from it
# DISPLAY is cleared: the prefix is headless (Graphics driver "null").
pelorus_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
: "${PELORUS_BUILD_DIR:=$pelorus_repo/build/windows}"
PELORUS_BUILD_DIR=$(mkdir -p "$PELORUS_BUILD_DIR" && cd "$PELORUS_BUILD_DIR" && pwd)
export PELORUS_BUILD_DIR
export WINEPREFIX="$PELORUS_BUILD_DIR/wine-prefix"
export WINEARCH=win64
export WINEDEBUG="${PELORUS_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export TZ=UTC
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

# The persistent wineserver that `wine-machine.sh --start` leaves running:
# its process id is kept in a marker file, and it counts as running while
# that process is the prefix's server (its working folder is named after the
# prefix's device and inode).
PELORUS_SERVER_MARKER="$PELORUS_BUILD_DIR/wine-machine/persistent-server"

# The name of the server's working folder: server-<device>-<inode> of the
# prefix, in hexadecimal.
pelorus_server_id() {
  local device inode
  read -r device inode < <(stat -c '%d %i' "$WINEPREFIX")
  printf 'server-%x-%x' "$device" "$inode"
}

# Prints the process id of the prefix's wineserver, if one runs.
pelorus_server_pid() {
  [[ -d $WINEPREFIX ]] || return 1
  local id proc comm
  id=$(pelorus_server_id)
  for proc in /proc/[0-9]*; do
    comm=
    read -r comm 2>/dev/null <"$proc/comm" || continue
    [[ $comm == wineserver* ]] || continue
    if [[ $(readlink "$proc/cwd" 2>/dev/null) == */"$id" ]]; then
      echo "${proc#/proc/}"
      return 0
    fi
  done
  return 1
}

pelorus_persistent_server_up() {
  [[ -f $PELORUS_SERVER_MARKER && -d $WINEPREFIX ]] || return 1
  local pid id
  pid=$(<"$PELORUS_SERVER_MARKER")
  id=$(pelorus_server_id)
  [[ -n $pid && $(readlink "/proc/$pid/cwd" 2>/dev/null) == */"$id" ]]
}
