#!/bin/bash
# Builds gyrsetup.exe a second time from a copy of the tracked files (as they are in the
# working tree, so uncommitted changes count) in another folder, and fails unless the
# result has the same bytes as the build's own.
set -euo pipefail
source_dir=$1
first_build=$2
jobs=${3:-2}
built=$first_build/app/gyrsetup.exe
# The same kind of build as the first one.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$first_build/CMakeCache.txt")

copy=$(mktemp -d "${TMPDIR:-/tmp}/gyrsetup-again.XXXXXX")
trap 'rm -rf "$copy"' EXIT
mkdir "$copy/source"
# Tracked files deleted in the working tree are left out, as a build would not see them.
git -C "$source_dir" ls-files -z |
    while IFS= read -r -d '' file; do
        if [ -e "$source_dir/$file" ]; then printf '%s\0' "$file"; fi
    done |
    tar -C "$source_dir" --null -T - -cf - | tar -C "$copy/source" -xf -

if ! cmake -S "$copy/source" -B "$copy/build" -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE="$build_type" \
        >"$copy/configure.log" 2>&1 ||
   ! cmake --build "$copy/build" --target gyrsetup -j "$jobs" >"$copy/build.log" 2>&1; then
    cat "$copy/configure.log" "$copy/build.log" 2>/dev/null
    echo "FAIL: the second build did not complete"
    exit 1
fi
again=$copy/build/app/gyrsetup.exe
echo "first build:  $built ($(stat -c %s "$built") bytes, $build_type)"
echo "second build: $copy/build/app/gyrsetup.exe ($(stat -c %s "$again") bytes)"
if cmp -s "$built" "$again"; then
    echo "the same bytes"
    exit 0
fi
echo "FAIL: the two builds differ; first differing bytes (offset, octal values):"
cmp -l "$built" "$again" | head -20 || true
exit 1
