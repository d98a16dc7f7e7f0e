#!/bin/sh
# Remakes examples/sample.pdf and examples/sample.expected (what
# `iccdrop sample.pdf` prints in this folder) with the test generator.
# Needs Debian's icc-profiles-free for Gray.icc and sRGB.icc; the CMYK
# profile is computed by the generator itself.
#
#   examples/make_sample.sh [BUILD_DIR]      (default: build)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-"$here/../build"}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target iccdrop_pdfgen
"$build/tests/iccdrop_pdfgen" sample "$here/sample.pdf" "$here/sample.expected"
echo "wrote $here/sample.pdf ($(wc -c <"$here/sample.pdf") bytes) and $here/sample.expected"
