#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the release build (everything,
# the windows included), the Debian package made from it, the sanitizer build (image,
# engine and command line), and the fuzz targets of the bitmap reader and of the depth
# maps in JPEG files for a bounded time.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

scripts/ensure_packages.sh

echo "== release build and tests"
cmake --preset release ${BOKAVO_WERROR:+-DBOKAVO_WERROR=$BOKAVO_WERROR} >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"
# The renderer's benchmark on small pictures: it must run and agree with the reference.
build/release/bin/defocus_bench --quick
# The picture view's benchmark on a small picture: every zoom step must repaint.
build/release/bin/view_bench --quick

echo "== Debian package: built from the release build, unpacked and checked"
scripts/check_package.sh build/release

echo "== sanitizer build and tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake --preset sanitize ${BOKAVO_WERROR:+-DBOKAVO_WERROR=$BOKAVO_WERROR} >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

echo "== fuzzing the bitmap reader and the depth maps in JPEG files"
scripts/fuzz.sh "${BOKAVO_FUZZ_SECONDS:-60}"

echo "All tests passed."
