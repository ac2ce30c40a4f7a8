"""Turns the results of bench/compare.sh into the table of docs/performance.md."""
import json
import os
import platform
import statistics
import subprocess
import sys

results, output = sys.argv[1], sys.argv[2]


def medians(name):
    data = json.load(open(os.path.join(results, name + ".json")))["results"]
    return [statistics.median(r["times"]) for r in data]


def machine():
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    memory = next((int(l.split()[1]) // 1024 // 1024 for l in open("/proc/meminfo") if l.startswith("MemTotal")), 0)
    fs = subprocess.run(["df", "-T", results], capture_output=True, text=True).stdout.splitlines()[-1].split()[1]
    return f"{os.cpu_count()} cores ({cpu}), {memory} GiB, Linux {platform.release()}, {fs} file system"


rows = []


def row(workload, ours, peer, target, ratio, ok):
    rows.append(f"| {workload} | {ours:.3f} | {peer} | {ratio} | {target} | {'met' if ok else 'missed'} |")


# A backup ends on the disk (synced before its generation is listed): its peer is cp + sync.
cp, cps, ours = medians("backup-plain")
row("1 GiB file, plain backup (CRC on)", ours, f"cp {cp:.3f}, cp + sync {cps:.3f}", "≤ 1.05× cp + sync",
    f"{ours / cps:.2f}× cp + sync ({ours / cp:.2f}× cp)", ours / cps <= 1.05)
cp, cps, enc, ours = medians("backup-aes")
row("1 GiB file, AES-256 backup", ours, f"cp {cp:.3f}, cp + sync {cps:.3f}, openssl + sync {enc:.3f}",
    "≤ 1.3× cp + sync", f"{ours / cps:.2f}× cp + sync ({ours / cp:.2f}× cp), {ours / enc:.2f}× openssl + sync",
    ours / cps <= 1.3)
cp, ours = medians("restore-plain")
row("1 GiB file, plain restore", ours, f"cp {cp:.3f}", "≤ 1.05× cp", f"{ours / cp:.2f}× cp", ours / cp <= 1.05)
cp, dec, ours = medians("restore-aes")
row("1 GiB file, AES-256 restore", ours, f"cp {cp:.3f}, openssl -d {dec:.3f}", "≤ 1.3× cp",
    f"{ours / cp:.2f}× cp, {ours / dec:.2f}× openssl", ours / cp <= 1.3)
cp, cps, ours = medians("small-files")
row("10,000 × 4 KiB in 100 folders, plain backup", ours, f"cp -r {cp:.3f}, cp -r + sync {cps:.3f}", "≤ 1.2× cp -r + sync",
    f"{ours / cps:.2f}× cp -r + sync ({ours / cp:.2f}× cp -r)", ours / cps <= 1.2)
for name, what in (("second-unchanged", "nothing changed"), ("second-changed", "1% changed")):
    rsync, ours = medians(name)
    row(f"10,000 × 4 KiB, second backup, {what}", ours, f"rsync --link-dest {rsync:.3f}", "≤ 1.0×",
        f"{ours / rsync:.2f}×", ours / rsync <= 1.0)
zip_time, ours = medians("corpus-zip")
size_zip, size_orv = int(open(os.path.join(results, "size-zip")).read()), int(open(os.path.join(results, "size-orv")).read())
row("text corpus, --compress", ours, f"zip -r -6 {zip_time:.3f}", "≤ 0.65× time, ≤ 1.03× size",
    f"{ours / zip_time:.2f}× time, {size_orv / size_zip:.3f}× size", ours / zip_time <= 0.65 and size_orv / size_zip <= 1.03)
z7, ours = medians("corpus-zip-aes")
row("text corpus, --compress --encrypt", ours, f"7z (2 threads) {z7:.3f}", "≤ 1.0×", f"{ours / z7:.2f}×", ours / z7 <= 1.0)
rss = int(open(os.path.join(results, "rss")).read().split()[-1]) / 1024
rows.append(f"| peak memory, 1 GiB backup | {rss:.1f} MiB RSS | | | ≤ 16 MiB | {'met' if rss <= 16 else 'missed'} |")
trees = {}
for files in (100000, 1000000):
    path = os.path.join(results, f"tree-{files}")
    if os.path.exists(path):
        trees[files] = [int(v) / 1024 for v in open(path).read().split()]
if trees:
    # Flat: the larger tree takes at most a quarter more than the smaller one.
    small = trees[100000]
    ok = all(m <= 32 for sizes in trees.values() for m in sizes) and (
        1000000 not in trees or all(b <= 1.25 * a for a, b in zip(small, trees[1000000])))
    measured = "; ".join(f"{files:,} files: " + " / ".join(f"{m:.1f}" for m in sizes) for files, sizes in trees.items())
    rows.append(f"| peak memory, tiny files: backup / restore / list / verify | {measured} MiB RSS | | | "
                f"≤ 32 MiB each, flat from 100,000 to 1,000,000 files | {'met' if ok else 'missed'} |")
crc = json.load(open(os.path.join(results, "crc.json")))["benchmarks"][0]["bytes_per_second"] / 1e9
rows.append(f"| UpdateCRC32, 1 MiB blocks | {crc:.1f} GB/s | | | ≥ 10 GB/s | {'met' if crc >= 10 else 'missed'} |")

# What was written by hand below the table (from a line "## Notes" on) stays.
notes = ""
if os.path.exists(output):
    text = open(output).read()
    if "\n## Notes" in text:
        notes = text[text.index("\n## Notes"):]

with open(output, "w") as f:
    f.write("# Performance\n\n")
    f.write("Measured by `bench/compare.sh` (medians of hyperfine runs; our command and its peers in one\n")
    f.write("invocation; 10 runs for the 1 GiB rows, 3 for the corpus rows). Times in seconds.\n\n")
    f.write(f"Machine: {machine()}.\n\n")
    f.write("| workload | orvcopy s | peer s | ratio | target | |\n|---|---|---|---|---|---|\n")
    f.write("\n".join(rows) + "\n")
    f.write(notes)
