#!/usr/bin/env bash
# A build for packages (-DREQUIRE_FEATURES=ON, as cmake/build-deb makes
# it) that lacks a feature the packages name fails configure and names it;
# the same build without the requirement configures, and says what it lacks.
#   require_features_check.sh SOURCE_DIR
set -euo pipefail
source=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
if cmake -S "$source" -B "$scratch/required" -DBUILD_TESTING=OFF -DREQUIRE_FEATURES=ON -DWITH_HDF5=OFF \
    -DWITH_TANGO=OFF >"$scratch/required.log" 2>&1; then
  fail "a package build without HDF5 configured: $(cat "$scratch/required.log")"
fi
grep -q "The packages promise features this build lacks: HDF5 (-DWITH_HDF5=OFF)" "$scratch/required.log" ||
  fail "the failure does not name HDF5: $(grep -A3 'CMake Error' "$scratch/required.log")"
cmake -S "$source" -B "$scratch/plain" -DBUILD_TESTING=OFF -DWITH_HDF5=OFF -DWITH_TANGO=OFF >"$scratch/plain.log" 2>&1 ||
  fail "a build without HDF5 does not configure: $(tail "$scratch/plain.log")"
grep -q "HDF5: no (-DWITH_HDF5=OFF), so no HDF5 files from countctl" "$scratch/plain.log" ||
  fail "configure does not say what it lacks: $(grep -A8 'Optional features' "$scratch/plain.log")"
grep -q "Tango: no (-DWITH_TANGO=OFF)" "$scratch/plain.log" || fail "configure does not say Tango is left out"
echo "a package build missing a promised feature fails and names it; any other build says what it lacks"
