#!/usr/bin/env bash
# The most bytes FOLDER takes on the disk while the process PID runs, sampled every 10 ms.
#   scripts/disk_peak.sh PID FOLDER
pid=$1 folder=$2 peak=0
while kill -0 "$pid" 2>/dev/null; do
  used=$(du -s --block-size=1 "$folder" 2>/dev/null | cut -f1)
  [ "${used:-0}" -gt "$peak" ] && peak=$used
  sleep 0.01
done
echo "$peak"
