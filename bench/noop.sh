#!/bin/sh
# A no-change run over a generated tree, against rsync -a --delete over the
# same tree: median times and their ratio, kovrel's peak RSS at two tree sizes,
# and a check (with strace, when installed) that no file's contents are read.
#
#   bench/noop.sh [KOVREL] [FILES] [DIRS] [REPS]
#   defaults: build/native/kovrel 100000 1000 5
set -eu
cd "$(dirname "$0")/.."
kovrel=$(realpath "${1:-build/native/kovrel}")
files=${2:-100000}
dirs=${3:-1000}
reps=${4:-5}
[ -x "$kovrel" ] || { echo "noop.sh: $kovrel is not built" >&2; exit 1; }
command -v rsync >/dev/null || { echo "noop.sh: rsync is missing" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "noop.sh: /usr/bin/time is missing (package time)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kovrel-noop-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
# No viewer and no pager: the runs below make no report anyway.
unset DISPLAY WAYLAND_DISPLAY

# make_tree DIR FILES DIRS: FILES small files spread over DIRS directories,
# 32 directories to a parent.
make_tree() {
  python3 - "$1" "$2" "$3" <<'EOF'
import os, sys
root, files, dirs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
per = max(1, files // dirs)
made = 0
for d in range(dirs):
    path = os.path.join(root, "d%03d" % (d // 32), "e%04d" % d)
    os.makedirs(path, exist_ok=True)
    for f in range(per):
        if made == files:
            break
        with open(os.path.join(path, "f%05d.dat" % f), "wb") as out:
            out.write(b"kovrel bench %d\n" % made)
        made += 1
EOF
}

# seconds CMD...: wall-clock seconds of one run, output discarded.
seconds() {
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || [ $? -eq 24 ]  # rsync 24: vanished files
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 ))" | awk '{ printf "%.3f\n", $1 / 1e6 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# peak_rss CMD...: peak resident set size in KiB.
peak_rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

echo "tree: $files files in $dirs directories under $work"
make_tree "$work/src" "$files" "$dirs"
"$kovrel" "$work/src" "$work/bk1" "$work/bk2" "$work/bk3"
rsync -a --delete "$work/src/" "$work/mirror/"
# Warm both once more; then every run below changes nothing.
"$kovrel" "$work/src" "$work/bk1" "$work/bk2" "$work/bk3"
rsync -a --delete "$work/src/" "$work/mirror/"

k=$(i=0; while [ $i -lt "$reps" ]; do
  seconds "$kovrel" "$work/src" "$work/bk1" "$work/bk2" "$work/bk3"; i=$((i + 1)); done | median)
r=$(i=0; while [ $i -lt "$reps" ]; do
  seconds rsync -a --delete "$work/src/" "$work/mirror/"; i=$((i + 1)); done | median)
echo "no-change run, median of $reps:"
echo "  kovrel             $k s"
echo "  rsync -a --delete  $r s"
echo "  ratio (kovrel / rsync) $(awk -v k="$k" -v r="$r" 'BEGIN { printf "%.2f", k / r }')"

# Nothing may be opened below the trees but directories.
if command -v strace >/dev/null; then
  strace -f -qq -e trace=open,openat,openat2 -o "$work/trace" \
    "$kovrel" "$work/src" "$work/bk1" "$work/bk2" "$work/bk3"
  opened=$(grep -F "$work/" "$work/trace" | grep -vc O_DIRECTORY || true)
  dirsOpened=$(grep -F "$work/" "$work/trace" | grep -c O_DIRECTORY || true)
  echo "files opened by a no-change run: $opened (directories listed: $dirsOpened)"
  [ "$opened" -eq 0 ] || { grep -F "$work/" "$work/trace" | grep -v O_DIRECTORY | head >&2; exit 1; }
else
  echo "files opened by a no-change run: not checked (strace is not installed)"
fi

# Peak memory of a no-change run at a tenth of the tree and at the whole.
small=$((files / 10))
make_tree "$work/small" "$small" "$((dirs / 10))"
"$kovrel" "$work/small" "$work/sbk1" "$work/sbk2" "$work/sbk3"
rss_small=$(peak_rss "$kovrel" "$work/small" "$work/sbk1" "$work/sbk2" "$work/sbk3")
rss_large=$(peak_rss "$kovrel" "$work/src" "$work/bk1" "$work/bk2" "$work/bk3")
echo "peak RSS of a no-change run:"
echo "  $small files  $rss_small KiB"
echo "  $files files  $rss_large KiB"
