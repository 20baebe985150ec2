#!/usr/bin/env bash
# Live stream viewers on the program people run: build/snapvane (the test-pattern
# camera, HTTP on, stream at FPS), once with its window (offscreen, the preview
# painting as it would on a desktop) and once --headless (as on a small box
# serving viewers), beside ustreamer serving the same still without a camera,
# each watched by VIEWERS loopback clients for SECONDS.
#
#   bench/stream_bench.sh [build-dir] [viewers] [fps] [seconds]
#
# For each: frames per viewer (min / median / max, and the share of fps*seconds),
# CPU per delivered frame (the server's utime+stime over the run divided by all
# frames delivered) and peak RSS. ustreamer streams a still at about one frame a
# second whatever it is asked, so its /snapshot under VIEWERS clients asking in a
# loop is measured too: CPU per picture delivered, the reference for the goal.
set -euo pipefail
. "$(dirname "$0")/bench_lib.sh"

BUILD=${1:-build}
VIEWERS=${2:-50}
FPS=${3:-10}
SECONDS_RUN=${4:-30}
SNAPVANE="$BUILD/snapvane"
USTREAMER=$(command -v ustreamer || true)
[ -x "$SNAPVANE" ] || { echo "missing $SNAPVANE" >&2; exit 2; }

WORK=$(mktemp -d /tmp/snapvane-stream-bench.XXXXXX)
SNAPVANE_PID=""
USTREAMER_PID=""
cleanup() {
  stop_pid "$SNAPVANE_PID"
  stop_pid "$USTREAMER_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT

# CPU time of a process's threads in ns (the scheduler's own count: a server that
# is nearly idle uses a few clock ticks in a run, too few to divide by).
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{s += $1} END {printf "%.0f", s}'; }
peak_rss_kb() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }

# VIEWERS clients on one selector for SECONDS: frames each, space-separated.
watch_stream() {
  /usr/bin/python3 - "$1" "$2" "$VIEWERS" "$SECONDS_RUN" <<'PY'
import selectors, socket, sys, time
port, path, n, seconds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
mark = b"Content-Type: image/jpeg"
sel = selectors.DefaultSelector()
counts, tails = {}, {}
for i in range(n):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
    s.setblocking(False)
    sel.register(s, selectors.EVENT_READ, i)
    counts[i], tails[i] = 0, b""
end = time.monotonic() + seconds
while time.monotonic() < end:
    for key, _ in sel.select(timeout=max(0.0, end - time.monotonic())):
        try:
            data = key.fileobj.recv(1 << 20)
        except BlockingIOError:
            continue
        if not data:
            sel.unregister(key.fileobj)
            continue
        i = key.data
        chunk = tails[i] + data
        counts[i] += chunk.count(mark)
        tails[i] = chunk[-(len(mark) - 1):]
print(" ".join(str(counts[i]) for i in range(n)))
PY
}

report() {
  local name=$1 pid=$2 port=$3 path=$4
  local before after frames
  before=$(cpu_ns "$pid")
  frames=$(watch_stream "$port" "$path")
  after=$(cpu_ns "$pid")
  /usr/bin/python3 - "$name" "$frames" "$((after - before))" \
    "$(peak_rss_kb "$pid")" "$FPS" "$SECONDS_RUN" <<'PY'
import statistics, sys
name, frames, ns, rss, fps, secs = sys.argv[1:]
f = [int(x) for x in frames.split()]
total = sum(f) or 1
want = int(fps) * float(secs)
cpu_us = int(ns) / 1e3
print("%-20s frames/viewer min %d median %d max %d (%.0f%%..%.0f%% of %d); "
      "CPU %.2f s, %.0f us per delivered frame; peak RSS %.1f MB"
      % (name, min(f), statistics.median(f), max(f), 100 * min(f) / want, 100 * max(f) / want,
         want, cpu_us / 1e6, cpu_us / total, int(rss) / 1024))
PY
}

echo "$VIEWERS viewers, $FPS frames/s, $SECONDS_RUN s; load $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"

# start_snapvane ARGS...: a fresh program streaming at FPS; sets SNAPVANE_PID/PORT.
start_snapvane() {
  start_snapvane_http "$WORK/home" "$WORK/snapvane.out" \
    "$(printf '"httpStream"=dword:00000001\\n"httpStreamFps"=dword:%08x\\n' "$FPS")" "$@"
}

start_snapvane
curl -s -o "$WORK/snap.jpg" "http://127.0.0.1:$SNAPVANE_PORT/"
report "snapvane" "$SNAPVANE_PID" "$SNAPVANE_PORT" /stream
stop_pid "$SNAPVANE_PID"
start_snapvane --headless
report "snapvane --headless" "$SNAPVANE_PID" "$SNAPVANE_PORT" /stream
stop_pid "$SNAPVANE_PID"
SNAPVANE_PID=""

if [ -n "$USTREAMER" ]; then
  USTREAMER_PORT=$(free_port)
  "$USTREAMER" --device /dev/snapvane-bench-no-camera --blank "$WORK/snap.jpg" \
    --desired-fps "$FPS" --host 127.0.0.1 --port "$USTREAMER_PORT" >"$WORK/ustreamer.out" 2>&1 &
  USTREAMER_PID=$!
  if wait_http "http://127.0.0.1:$USTREAMER_PORT/snapshot"; then
    report "ustreamer" "$USTREAMER_PID" "$USTREAMER_PORT" /stream
    if command -v ab >/dev/null; then
      before=$(cpu_ns "$USTREAMER_PID")
      ab -q -c "$VIEWERS" -t "$SECONDS_RUN" -n 100000000 \
        "http://127.0.0.1:$USTREAMER_PORT/snapshot" >"$WORK/ab.log" 2>&1 || true
      after=$(cpu_ns "$USTREAMER_PID")
      awk -v t=$((after - before)) -v v="$VIEWERS" \
        '/^Complete requests/ {n = $3}
         END {printf "%-20s /snapshot, %d clients: %d pictures, %.0f us per delivered picture\n",
                     "ustreamer", v, n, n ? t / 1e3 / n : 0}' "$WORK/ab.log"
    fi
  else
    echo "(ustreamer not serving: left out)"
  fi
else
  echo "(ustreamer not installed: left out)"
fi
