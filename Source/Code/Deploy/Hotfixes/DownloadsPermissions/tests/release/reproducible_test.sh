#!/bin/bash
# Two clean builds of the same sources, in fresh folders, must give the very
# bytes of the executable under test.
#   reproducible_test.sh SOURCE_DIR WORK_DIR EXE
set -euo pipefail
source_dir=$1 work=$2 exe=$3
toolchain="$source_dir/tools/mingw-w64-x86_64.cmake"

rm -rf "$work"
for build in a b; do
    cmake -S "$source_dir" -B "$work/$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DDOWNLOADS_PERMISSIONS_DIST_DIR="$work/$build/dist" >/dev/null
    cmake --build "$work/$build" --target DownloadsPermissions >/dev/null
done
sha256sum "$exe" "$work"/{a,b}/dist/DownloadsPermissions.exe
cmp "$work/a/dist/DownloadsPermissions.exe" "$work/b/dist/DownloadsPermissions.exe"
cmp "$work/a/dist/DownloadsPermissions.exe" "$exe"
(cd "$(dirname "$exe")" && sha256sum --check "$(basename "$exe").sha256")
rm -rf "$work"
echo "reproducible: two fresh builds match the executable byte for byte"
