#!/bin/bash
# Fails when a file under src/ includes a file of a higher layer. Layers, from
# the ground up: include/pelorus (the host contract), src/support (Win32 and
# text helpers, logs, signatures), src/frame (value tree, plug-in base,
# dispatch), src/hwinfo and src/firmware (bridges and models of the outside
# components; one floor, they may include each other), src/plugin (the Pelorus
# class and its command handlers).
#
#   scripts/check-layers.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

layer() {
  case $1 in
    pelorus) echo 0 ;;
    support) echo 1 ;;
    frame) echo 2 ;;
    hwinfo | firmware) echo 3 ;;
    plugin) echo 4 ;;
    *) echo -1 ;;
  esac
}

bad=0
while IFS= read -r file; do
  folder=${file#*/}
  folder=${folder%%/*}
  own=$(layer "$folder")
  if [[ $own -lt 0 ]]; then
    [[ $folder == exports ]] && continue
    echo "$file: folder '$folder' has no layer"
    bad=1
    continue
  fi
  while IFS= read -r target; do
    top=${target%%/*}
    [[ $top == "$target" ]] && continue # a system or same-folder header
    theirs=$(layer "$top")
    if [[ $theirs -gt $own ]]; then
      echo "$file includes $target: layer $top is above $folder"
      bad=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find src include -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.rc' \) | sort)
if [[ $bad -ne 0 ]]; then
  echo "check-layers: a file includes one of a higher layer"
  exit 1
fi
echo "check-layers: every include points to the same or a lower layer"
