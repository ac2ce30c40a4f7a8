#!/usr/bin/env bash
# Installs the build into a fresh prefix, then builds and runs the example host and compiles
# every public header against that prefix, as a host outside the tree would.
#   check_installed_package.sh BUILD_DIR SOURCE_DIR [EXTRA_CXX_FLAGS]
set -euo pipefail
build_dir=$1
source_dir=$2
extra_flags=${3:-}
extra_flags=${extra_flags//;/ }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/orvcopy" ] || { echo "orvcopy not installed"; exit 1; }

for header in OrvCopyManager.h OrvCopyExport.h OrvCopyStrings.h external/OrvComp.h \
              external/OrvCallBack.h external/OrvLogging.h \
              external/OrvGlobalMFC.h external/orv_encryption.h external/OrvFramework.h; do
  [ -f "$prefix/include/OrvCopy/$header" ] || { echo "not installed: $header"; exit 1; }
done

configure() {
  cmake -S "$1" -B "$2" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS="$extra_flags" -DCMAKE_EXE_LINKER_FLAGS="$extra_flags" >/dev/null
}

configure "$source_dir/tests/install/headers" "$work/headers"
cmake --build "$work/headers" -j 2 >/dev/null

configure "$source_dir/examples/simple_host" "$work/host"
cmake --build "$work/host" -j 2 >/dev/null
mkdir -p "$work/data/sub"
echo hello >"$work/data/a.txt"
echo world >"$work/data/sub/b.txt"
output=$("$work/host/simple_host" "$work/data" "$work/backup")
echo "$output"
grep -q "job ready: 3 items" <<<"$output"
grep -q "buffer 65568 bytes" <<<"$output"
grep -q "backup finished with status 0" <<<"$output"
cmp "$work/data/a.txt" "$work/backup/a.txt"
cmp "$work/data/sub/b.txt" "$work/backup/sub/b.txt"
echo "installed package: headers and example host OK"
