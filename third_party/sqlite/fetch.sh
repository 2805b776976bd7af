#!/bin/bash
# Reproduces this folder's sqlite3.c and sqlite3.h: SQLite's release tarball
# sqlite-autoconf-3520000.tar.gz as the npm package sqlite3@6.0.1 ships it
# unmodified under deps/, checked against the recorded SHA-256, then the two
# amalgamation files extracted here. Needs npm (the npm registry), tar and
# sha256sum.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
package=sqlite3@6.0.1
tarball=sqlite-autoconf-3520000.tar.gz
tarball_sha256=f6b50b0c103392af32a8be15b2b9d25959de9a00a70c3979128aafeaa5338b3f

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$package" >/dev/null)
tar -xzf "$work"/sqlite3-*.tgz -C "$work" "package/deps/$tarball"
echo "$tarball_sha256  $work/package/deps/$tarball" | sha256sum -c --quiet -
tar -xzf "$work/package/deps/$tarball" -C "$work" \
  "${tarball%.tar.gz}/sqlite3.c" "${tarball%.tar.gz}/sqlite3.h"
cp "$work/${tarball%.tar.gz}/sqlite3.c" "$work/${tarball%.tar.gz}/sqlite3.h" "$here/"
(cd "$here" && sha256sum sqlite3.c sqlite3.h)
