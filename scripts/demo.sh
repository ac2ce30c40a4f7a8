#!/usr/bin/env bash
# Builds and installs OrvCopy into a local prefix, then builds the example host against the
# installed package and runs it on built-in sample data.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages "${ORVCOPY_PACKAGES[@]}"

prefix=$PWD/build/demo-prefix
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null
cmake --install build/default --prefix "$prefix" >/dev/null

cmake -S examples/simple_host -B build/demo-host -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build build/demo-host >/dev/null

# Sample data: a small tree with a sub-folder.
sample=build/demo-sample
rm -rf "$sample" build/demo-backup
mkdir -p "$sample/docs/notes"
printf 'OrvCopy sample file\n' >"$sample/readme.txt"
seq 1 5000 >"$sample/docs/numbers.txt"
printf 'nested\n' >"$sample/docs/notes/todo.txt"

build/demo-host/simple_host "$sample" build/demo-backup
