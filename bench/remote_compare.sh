#!/usr/bin/env bash
# orvcopy's remote backups against rclone itself, to an SFTP server on 127.0.0.1 (rclone's
# own): the 10,000 files of 4 KiB and the 1 GiB file backed up and restored, plain beside
# `rclone copy`, encrypted beside `rclone copy` to a crypt remote, and a second backup with
# nothing changed beside `rclone sync` with nothing to do; the small restores also with their
# fetched files on /dev/shm. Each pair runs in turn, run after run; every backup
# goes into an emptied remote folder (emptied before the run, not timed). The table goes to
# docs/remote-performance.md, with the temporary folder's peak during an encrypted backup of
# the 1 GiB file and the rclone calls per file. Everything, orvcopy's working folders too, lies
# in WORK_DIR: the table names its file system.
#   bench/remote_compare.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/default}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/orvcopy-remote.XXXXXX")}
source scripts/packages.sh
ensure_packages hyperfine rclone
cmake --build "$build" --target orvcopy >/dev/null
orvcopy=$root/$build/tools/orvcopy/orvcopy
mkdir -p "$work/results" "$work/served" "$work/temp"
cd "$work"
export ORVCOPY_BENCH_PASSWORD="benchmark password" TMPDIR="$work/temp"
export RCLONE_CONFIG="$work/rclone.conf" RCLONE_CACHE_DIR="$work/cache"
touch rclone.conf

rclone serve sftp --addr 127.0.0.1:0 --user bench --pass secret served >server.log 2>&1 &
server=$!
trap 'kill $server 2>/dev/null' EXIT
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' server.log)
  [ -n "$port" ] && break
  sleep 0.1
done
export RCLONE_CONFIG_OFFSITE_TYPE=sftp RCLONE_CONFIG_OFFSITE_HOST=127.0.0.1
export RCLONE_CONFIG_OFFSITE_PORT=$port RCLONE_CONFIG_OFFSITE_USER=bench
RCLONE_CONFIG_OFFSITE_PASS=$(rclone obscure secret)
RCLONE_CONFIG_SECRET_PASSWORD=$(rclone obscure "$ORVCOPY_BENCH_PASSWORD")
export RCLONE_CONFIG_OFFSITE_PASS RCLONE_CONFIG_SECRET_PASSWORD
export RCLONE_CONFIG_SECRET_TYPE=crypt RCLONE_CONFIG_SECRET_REMOTE=offsite:crypt

echo "== data"
"$root/bench/make_trees.sh"
find big small -exec touch -h -d '1 hour ago' {} +

empty='rclone purge offsite:peer; rclone purge offsite:orv; rclone purge offsite:crypt; true'
# pair NAME RUNS PREPARE PEER OURS: the two commands in turn, run after run, each after PREPARE,
# so that a machine whose speed drifts while the bench runs weighs on both alike.
pair() {
  for run in $(seq "$2"); do
    for side in peer ours; do
      if [ $side = peer ]; then command=$4; else command=$5; fi
      hyperfine --warmup 0 --runs 1 --prepare "sh -c '$3; rm -rf $work/out; sync'" \
        --export-json "results/$1.$side.$run.json" "$command" >/dev/null
    done
  done
}
pw="--password-env ORVCOPY_BENCH_PASSWORD"

echo "== backups"
pair backup-small 5 "$empty" "rclone copy small offsite:peer" \
  "$orvcopy -q backup small rclone:offsite:orv"
pair backup-small-aes 5 "$empty" "rclone copy small secret:" \
  "$orvcopy -q backup small rclone:offsite:orv --encrypt $pw"
pair backup-big 3 "$empty" "rclone copy big offsite:peer" \
  "$orvcopy -q backup big rclone:offsite:orv"
pair backup-big-aes 3 "$empty" "rclone copy big secret:" \
  "$orvcopy -q backup big rclone:offsite:orv --encrypt $pw"

echo "== a second backup, nothing changed"
sh -c "$empty" 2>/dev/null
rclone copy small offsite:peer && "$orvcopy" -q backup small rclone:offsite:orv
pair second-small 5 true "rclone sync small offsite:peer" \
  "$orvcopy -q backup small rclone:offsite:orv"

echo "== restores"
pair restore-small 5 true "rclone copy offsite:peer $work/out" \
  "$orvcopy -q restore rclone:offsite:orv $work/out"
pair restore-small-tmpfs 5 true "rclone copy offsite:peer $work/out" \
  "$orvcopy -q restore rclone:offsite:orv $work/out --temp /dev/shm"
"$orvcopy" -q backup small rclone:offsite:orv-aes --encrypt $pw
rclone copy small secret:small
pair restore-small-aes 5 true "rclone copy secret:small $work/out" \
  "$orvcopy -q restore rclone:offsite:orv-aes $work/out $pw"
pair restore-small-aes-tmpfs 5 true "rclone copy secret:small $work/out" \
  "$orvcopy -q restore rclone:offsite:orv-aes $work/out $pw --temp /dev/shm"
"$orvcopy" -q backup big rclone:offsite:orv-big && rclone copy big offsite:peer-big
pair restore-big 3 true "rclone copy offsite:peer-big $work/out" \
  "$orvcopy -q restore rclone:offsite:orv-big $work/out"
"$orvcopy" -q backup big rclone:offsite:orv-big-aes --encrypt $pw && rclone copy big secret:big
pair restore-big-aes 3 true "rclone copy secret:big $work/out" \
  "$orvcopy -q restore rclone:offsite:orv-big-aes $work/out $pw"

echo "== the temporary folder during an encrypted backup of the 1 GiB file, and rclone calls"
rclone purge offsite:orv 2>/dev/null || true
"$orvcopy" backup big rclone:offsite:orv --encrypt $pw --temp "$work/temp" 2>results/big-aes.err &
backup=$!
"$root/scripts/disk_peak.sh" $backup temp >results/temp-peak
wait $backup
rclone purge offsite:orv 2>/dev/null || true
"$orvcopy" backup small rclone:offsite:orv 2>results/calls-backup.err
"$orvcopy" restore rclone:offsite:orv "$work/calls-out" 2>results/calls-restore.err

/usr/bin/python3 - "$work/results" "$root/docs/remote-performance.md" "$work" <<'EOF'
import glob, json, os, re, statistics, subprocess, sys
results, out, work = sys.argv[1], sys.argv[2], sys.argv[3]
def medians(name):
    def times(side):
        return [json.load(open(f))["results"][0]["mean"]
                for f in glob.glob(f"{results}/{name}.{side}.*.json")]
    return statistics.median(times("peer")), statistics.median(times("ours"))
rows = []
def row(workload, name, peer, target):
    p, o = medians(name)
    ratio = o / p
    rows.append(f"| {workload} | {o:.2f} | {peer} {p:.2f} | {ratio:.2f}× | ≤ {target}× | "
                f"{'met' if ratio <= target else 'missed'} |")
row("backup, 10,000 × 4 KiB", "backup-small", "rclone copy", 1.1)
row("backup, 10,000 × 4 KiB, encrypted", "backup-small-aes", "rclone copy to crypt", 1.0)
row("backup, 1 GiB", "backup-big", "rclone copy", 1.1)
row("backup, 1 GiB, encrypted", "backup-big-aes", "rclone copy to crypt", 1.0)
row("second backup, nothing changed, 10,000 files", "second-small", "rclone sync", 1.0)
row("restore, 10,000 × 4 KiB", "restore-small", "rclone copy", 1.1)
row("restore, 10,000 × 4 KiB, --temp on tmpfs", "restore-small-tmpfs", "rclone copy", 1.1)
row("restore, 10,000 × 4 KiB, encrypted", "restore-small-aes", "rclone copy from crypt", 1.0)
row("restore, 10,000 × 4 KiB, encrypted, --temp on tmpfs", "restore-small-aes-tmpfs",
    "rclone copy from crypt", 1.0)
row("restore, 1 GiB", "restore-big", "rclone copy", 1.1)
row("restore, 1 GiB, encrypted", "restore-big-aes", "rclone copy from crypt", 1.0)
peak = int(open(f"{results}/temp-peak").read()) / 1048576
calls = lambda f: re.search(r"\((\d+) rclone calls\)", open(f"{results}/{f}").read())
cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                     capture_output=True, text=True).stdout.strip()
source, fstype = subprocess.run(["findmnt", "-no", "SOURCE,FSTYPE", "-T", work],
                                capture_output=True, text=True).stdout.split()
# ext4 keeps a journal where jbd2 runs for its device.
journal = os.path.isdir("/proc/fs/jbd2") and any(
    d.startswith(os.path.basename(source) + "-") for d in os.listdir("/proc/fs/jbd2"))
disk = fstype + (" with a journal" if journal else " without a journal" if fstype == "ext4" else "")
# A loop device is named with what holds its blocks.
if source.startswith("/dev/loop"):
    backing = subprocess.run(["losetup", "-nO", "BACK-FILE", source], capture_output=True,
                             text=True).stdout.strip()
    below = subprocess.run(["findmnt", "-no", "FSTYPE", "-T", backing], capture_output=True,
                           text=True).stdout.split("\n")[0]
    disk += f" on a loop device over a file on {below}" if backing else ""
with open(out, "w") as f:
    f.write("# Remote backups: orvcopy against rclone\n\n")
    f.write(f"Measured by `bench/remote_compare.sh` on {cpu}, {os.cpu_count()} cores, to `rclone "
            "serve sftp` on 127.0.0.1 (the same machine: the network costs nothing, so the "
            f"local work shows), all files on {disk}. Medians of runs timed by hyperfine, "
            "orvcopy's and its peer's in turn, in seconds.\n\n")
    f.write("| workload | orvcopy | peer | ratio | target | |\n|---|---|---|---|---|---|\n")
    f.write("\n".join(rows) + "\n\n")
    f.write(f"- Temporary folder's peak during the encrypted backup of the 1 GiB file (default "
            f"volume, 256 MiB): {peak:.1f} MiB.\n")
    for name, f_ in (("backup", "calls-backup.err"), ("restore", "calls-restore.err")):
        m = calls(f_)
        if m:
            f.write(f"- rclone calls for a {name} of the 10,000 files: {m.group(1)}.\n")
EOF
cat "$root/docs/remote-performance.md"
