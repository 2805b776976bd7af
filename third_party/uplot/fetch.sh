#!/bin/bash
# Fetches the vendored uPlot files from the npm registry and checks them
# against the recorded checksums: the minified IIFE build (defines the global
# `uPlot`), its stylesheet and the licence. Run from anywhere; writes beside
# this script.
#
#   third_party/uplot/fetch.sh
set -euo pipefail

version=1.6.32
tarball_sha256=4b8a8191e425658e3ea8c8c1314b0fc679c861ee3a1af2b20c7b16ba50b5133d

here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$scratch" && npm pack --silent "uplot@$version" >/dev/null)
echo "$tarball_sha256  $scratch/uplot-$version.tgz" | sha256sum -c --quiet
tar -xzf "$scratch/uplot-$version.tgz" -C "$scratch"
cp "$scratch/package/dist/uPlot.iife.min.js" "$scratch/package/dist/uPlot.min.css" \
  "$scratch/package/LICENSE" "$here/"
(cd "$here" && sha256sum -c --quiet SHA256SUMS)
echo "uplot $version fetched into $here"
