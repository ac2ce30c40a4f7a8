#!/usr/bin/env bash
# The generated data of the comparisons, in the current folder, made once: big/file.bin (1 GiB
# of random bytes) and small/ (10,000 random files of 4 KiB in 100 folders).
#   bench/make_trees.sh
set -euo pipefail
mkdir -p big
[ -f big/file.bin ] || head -c 1073741824 /dev/urandom >big/file.bin
if [ ! -d small ]; then
  for d in $(seq -w 1 100); do
    mkdir -p "small/d$d"
    for f in $(seq -w 1 100); do head -c 4096 /dev/urandom >"small/d$d/f$f"; done
  done
fi
