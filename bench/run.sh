#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures QB_PrintChineseStr against its Python/Pillow peer in the same run,
# and the first call of a fresh process. Usage: bench/run.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
json=$(mktemp)
trap 'rm -f "$json"' EXIT

"$build/bench/quillbar_bench" --benchmark_min_time=1 --benchmark_enable_random_interleaving=true --benchmark_format=json --benchmark_out="$json" \
  --benchmark_out_format=json >/dev/null
peer=$(/usr/bin/python3 "$here/peer_pil.py" 1.0)
firsts=$(for _ in $(seq 15); do "$build/bench/quillbar_first_call"; done)
# Peak resident memory of the sample label run, and of /bin/true as the floor.
rss=$(/usr/bin/python3 - "$build/examples/sample_label" <<'PY'
import resource, subprocess, sys
def peak(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True)
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
floor = peak(["/bin/true"])
print(floor, peak([sys.argv[1]]))
PY
)

# Through a print server of our own (cupsd needs root for its lp user).
queue="(no print-server figure: needs root and Debian's cups)"
if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/cupsd ]; then
  queue=$("$build/bench/quillbar_print_server_rate" "$build/tools/quillbar-preview" 300)
fi

/usr/bin/python3 - "$json" "$peer" "$firsts" "$rss" <<'PY'
import json, statistics, sys
ours, other = {}, {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") not in (None, "median"):
        continue
    seconds = b["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[b["time_unit"]]
    if b["name"].startswith(("BM_FlatCall", "BM_HandleCall")):
        other[b["name"]] = b["cpu_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[b["time_unit"]]
    elif b["name"].startswith("BM_ChineseText/"):
        ours[int(b["name"].split("/")[1])] = seconds
    else:
        other[b["name"]] = seconds
peer = {int(l.split()[0]): float(l.split()[1]) for l in sys.argv[2].splitlines()}
firsts = [float(x) for x in sys.argv[3].split()]
print("QB_PrintChineseStr, 4 characters, warm, to a file (per label)")
print("size  quillbar      Pillow peer   peer/quillbar")
for size in sorted(ours):
    print("%-5d %9.2f us  %9.2f us  %8.1fx" % (size, ours[size] * 1e6, peer[size] * 1e6, peer[size] / ours[size]))
print("first call in a fresh process: median %.2f ms (min %.2f, max %.2f, %d runs)"
      % (statistics.median(firsts), min(firsts), max(firsts), len(firsts)))
print()
print("each export, per call, writing to a plain file")
for name, seconds in sorted(other.items()):
    if name.startswith("BM_Export/"):
        print("  %-24s %8.0f ns" % (name[len("BM_Export/"):], seconds * 1e9))
mb = 1 << 20
median = lambda prefix: next(v for k, v in other.items() if k.startswith(prefix) and k.endswith("_median"))
ours, plain = median("BM_ChannelToPty/"), median("BM_PlainWriteToPty/")
print("1 MB in 54-byte commands to a pseudo-terminal, median of 7: quillbar %.1f MB/s, plain write() loop"
      " %.1f MB/s (quillbar/plain %.2f)" % (mb / ours / 1e6, mb / plain / 1e6, plain / ours))
flat, handle = median("BM_FlatCall"), median("BM_HandleCall")
print("QB_PrintCharacter to /dev/null, CPU time, median of 5: flat %.0f ns, on a handle %.0f ns"
      " (handle/flat %.2f, %+.0f ns)" % (flat * 1e9, handle * 1e9, handle / flat, (handle - flat) * 1e9))
floor, sample = (int(x) for x in sys.argv[4].split())
print("peak resident memory: sample label run %d KiB; /bin/true %d KiB (sample/true %.1f)"
      % (sample, floor, sample / floor))
print()
render, png = other["BM_RenderLabel"], other["BM_WriteLabelPng"]
print("virtual printer, 100 x 150 mm label with 20 objects: render %.2f ms; writing its PNG %.2f ms"
      " (render/PNG %.2f)" % (render * 1e3, png * 1e3, render / png))
PY
echo
echo "$queue"
echo
"$build/bench/quillbar_status_round_trip" "$build/tools/quillbar-preview" 300
