#!/usr/bin/env bash
# Installs the build into a fresh prefix, then builds and runs the example host and compiles
# every public header against that prefix, as a host outside the tree would.
#   check_installed_package.sh BUILD_DIR SOURCE_DIR [EXTRA_CXX_FLAGS [TOOLCHAIN_FILE]]
# With a toolchain file (the Windows build) the host is cross-built with it and run under Wine,
# beside the installed DLLs.
set -euo pipefail
build_dir=$1
source_dir=$2
extra_flags=${3:-}
extra_flags=${extra_flags//;/ }
toolchain=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
run=()
cross=()
exe=
if [ -n "$toolchain" ]; then
  # The cross toolchain looks for packages below the mingw root only: name ours directly.
  cross=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DOrvCopy_DIR="$prefix/lib/cmake/OrvCopy")
  run=("$(dirname "$toolchain")/wine-run.sh")
  export WINEPATH="$prefix/bin"
  exe=.exe
else
  [ -x "$prefix/bin/orvcopy" ] || { echo "orvcopy not installed"; exit 1; }
fi

for header in OrvCopyManager.h OrvCopyExport.h OrvCopyStrings.h external/OrvComp.h \
              external/OrvCallBack.h external/OrvLogging.h \
              external/OrvGlobalMFC.h external/orv_encryption.h external/OrvFramework.h; do
  [ -f "$prefix/include/OrvCopy/$header" ] || { echo "not installed: $header"; exit 1; }
done

configure() {
  local flags=()
  [ -n "$extra_flags" ] && flags=(-DCMAKE_CXX_FLAGS="$extra_flags" -DCMAKE_EXE_LINKER_FLAGS="$extra_flags")
  cmake -S "$1" -B "$2" "${cross[@]}" "${flags[@]}" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_BUILD_TYPE=Debug >/dev/null
}

configure "$source_dir/tests/install/headers" "$work/headers"
cmake --build "$work/headers" -j 2 >/dev/null

configure "$source_dir/examples/simple_host" "$work/host"
cmake --build "$work/host" -j 2 >/dev/null
mkdir -p "$work/data/sub"
echo hello >"$work/data/a.txt"
echo world >"$work/data/sub/b.txt"
output=$("${run[@]}" "$work/host/simple_host$exe" "$work/data" "$work/backup")
echo "$output"
grep -q "job ready: 3 items" <<<"$output"
grep -q "buffer 65568 bytes" <<<"$output"
grep -q "backup finished with status 0" <<<"$output"
cmp "$work/data/a.txt" "$work/backup/a.txt"
cmp "$work/data/sub/b.txt" "$work/backup/sub/b.txt"
echo "installed package: headers and example host OK"
