#!/usr/bin/env bash
# Gathers a corpus of real text files from this machine into DIR, up to about 300 MB: headers,
# Python and Perl sources, documentation, and the man pages (decompressed), keeping their
# folder structure.
#   bench/make_corpus.sh DIR [MEGABYTES]
set -euo pipefail
/usr/bin/python3 - "$1" "${2:-300}" <<'PY'
import gzip, os, shutil, sys
dest, limit = sys.argv[1], int(sys.argv[2]) * 1024 * 1024
text = (".h", ".hpp", ".c", ".cc", ".py", ".pm", ".pl", ".pod", ".txt", ".html", ".md", ".rst")
roots = ["/usr/include", "/usr/lib/python3", "/usr/share/perl", "/usr/share/perl5",
         "/usr/share/doc", "/usr/share/man"]
total = files = 0
def add(source, data=None):
    global total, files
    target = os.path.join(dest, source.lstrip("/"))
    if target.endswith(".gz"):
        target = target[:-3]
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if data is None:
        shutil.copyfile(source, target)
        total += os.path.getsize(source)
    else:
        with open(target, "wb") as f:
            f.write(data)
        total += len(data)
    files += 1
for root in roots:
    for folder, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            if total >= limit:
                break
            if os.path.islink(path) or not os.path.isfile(path) or os.path.getsize(path) > 8 << 20:
                continue
            try:
                if name.endswith(".gz") and "/man" in folder:
                    add(path, gzip.open(path).read())
                elif name.endswith(text) or name in ("copyright", "changelog"):
                    add(path)
            except (OSError, EOFError):
                pass
print(f"corpus: {files} files, {total >> 20} MB in {dest}")
PY
