#!/usr/bin/env bash
# Loopback HTTP load on the program people run: build/snapvane (offscreen, HTTP
# on, the test-pattern camera) beside nginx (one worker) and ustreamer (the same
# JPEG served as its still picture, no camera), all answering with the same
# picture, under ab (HTTP/1.0, a new connection per request) at 50 and 200
# connections.
#
#   bench/http_bench.sh [build-dir] [requests-per-run] [rounds]
#
# Each block is run fresh (a new snapvane) and after 40000 earlier visits (a new
# snapvane that has first served them: its log is full). The servers take turns
# round after round, so a change in the machine's load hits all of them. For
# every run: requests/s, p50 and p99 (ms), the ratio to nginx and to ustreamer,
# CPU per request (the server's utime+stime over the run), failed requests other
# than ab's "Length" kind (bodies without a length that differ in size), the
# server's peak RSS, and Snapvane's captures per 10,000 requests (the snapshot
# files it makes, seen from outside). The median ratios of the rounds close each block.
set -euo pipefail
. "$(dirname "$0")/bench_lib.sh"

BUILD=${1:-build}
REQUESTS=${2:-20000}
ROUNDS=${3:-9}  # single rounds swing by a third on a busy machine: medians need several
EARLIER=${SNAPVANE_BENCH_EARLIER:-40000}  # visits before the "full" runs
SNAPVANE="$BUILD/snapvane"
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
USTREAMER=$(command -v ustreamer || true)
for tool in "$SNAPVANE" "$NGINX" "$(command -v ab || true)" "$(command -v curl || true)"; do
  if [ -z "$tool" ] || [ ! -x "$tool" ]; then
    echo "missing tool: ${tool:-ab/curl} (build snapvane; scripts/install-deps.sh)" >&2
    exit 2
  fi
done

WORK=$(mktemp -d /tmp/snapvane-http-bench.XXXXXX)
chmod 755 "$WORK"
SNAPVANE_PID=""
NGINX_PID=""
USTREAMER_PID=""
cleanup() {
  stop_pid "$SNAPVANE_PID"
  stop_pid "$NGINX_PID"
  stop_pid "$USTREAMER_PID"
  stop_pid "${WATCH_PID:-}"
  rm -rf "$WORK"
}
trap cleanup EXIT



# utime+stime of a process and its threads, in clock ticks.
cpu_ticks() {
  awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$1/stat"
}

peak_rss_kb() {
  awk '/VmHWM/ {print $2}' "/proc/$1/status"
}

# Starts the real program with HTTP on a free port; sets SNAPVANE_PID and SNAPVANE_PORT.
start_snapvane() { start_snapvane_http "$WORK/home.$1" "$WORK/snapvane.$1.out" ""; }

stop_snapvane() {
  kill -TERM "$SNAPVANE_PID" 2>/dev/null || true
  wait "$SNAPVANE_PID" 2>/dev/null || true
  SNAPVANE_PID=""
}

# One ab run against url while measuring process pid; prints
# "rps p50 p99 failed-other-than-length cpu-us-per-request".
run_ab() {
  local url=$1 concurrency=$2 pid=$3 requests=${4:-$REQUESTS}
  local csv="$WORK/ab.csv" log="$WORK/ab.log" before after
  before=$(cpu_ticks "$pid")
  ab -q -n "$requests" -c "$concurrency" -e "$csv" "$url" >"$log" 2>&1 || {
    echo "ab failed on $url:" >&2
    cat "$log" >&2
    exit 1
  }
  after=$(cpu_ticks "$pid")
  local rps failed length p50 p99 cpu
  rps=$(awk '/^Requests per second/ {print $4}' "$log")
  failed=$(awk '/^Failed requests/ {print $3}' "$log")
  length=$(sed -n 's/.*Length: \([0-9]*\).*/\1/p' "$log")
  p50=$(awk -F, '$1 == 50 {print $2}' "$csv")
  p99=$(awk -F, '$1 == 99 {print $2}' "$csv")
  cpu=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v n="$requests" \
    'BEGIN {printf "%.0f", t * 1e6 / hz / n}')
  echo "$rps $p50 $p99 $((failed - ${length:-0})) $cpu"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# The picture the others serve: one snapshot fetched from Snapvane.
start_snapvane warmup
mkdir -p "$WORK/www" "$WORK/nginx/logs"
curl -sS -o "$WORK/www/snap.jpg" "http://127.0.0.1:$SNAPVANE_PORT/"
stop_snapvane
chmod 644 "$WORK/www/snap.jpg"
JPEG_BYTES=$(stat -c %s "$WORK/www/snap.jpg")

NGINX_PORT=$(free_port)
cat >"$WORK/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  server {
    listen 127.0.0.1:$NGINX_PORT backlog=4096;
    root $WORK/www;
    location = / { default_type image/jpeg; try_files /snap.jpg =404; }
  }
}
EOF
"$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" 2>"$WORK/nginx/logs/start.log" &
NGINX_PID=$!
wait_http "http://127.0.0.1:$NGINX_PORT/"
NGINX_WORKER=$(pgrep -P "$NGINX_PID" | head -1)

# ustreamer without a camera serves its "blank" picture, here the same JPEG.
USTREAMER_URL=""
if [ -n "$USTREAMER" ]; then
  USTREAMER_PORT=$(free_port)
  "$USTREAMER" --device /dev/snapvane-bench-no-camera --blank "$WORK/www/snap.jpg" \
    --host 127.0.0.1 --port "$USTREAMER_PORT" >"$WORK/ustreamer.out" 2>&1 &
  USTREAMER_PID=$!
  USTREAMER_URL="http://127.0.0.1:$USTREAMER_PORT/snapshot"
  wait_http "$USTREAMER_URL" || USTREAMER_URL=""
fi
[ -n "$USTREAMER_URL" ] || echo "(ustreamer not installed or not serving: left out)"

echo "snapshot: ${JPEG_BYTES} bytes (test pattern); $REQUESTS requests per run, $ROUNDS rounds"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
row() { printf '%-10s %-6s %5s %9s %7s %7s %6s %6s %7s %6s %9s %s\n' "$@"; }
row server log conns "req/s" "p50 ms" "p99 ms" "/nginx" "/ustr" "us/req" failed "RSS kB" \
  "captures/10k"
for log in fresh full; do
  for conns in 50 200; do
    to_nginx=()
    to_ustreamer=()
    for round in $(seq "$ROUNDS"); do
      read -r n_rps n_p50 n_p99 n_failed n_cpu < <(run_ab "http://127.0.0.1:$NGINX_PORT/" "$conns" "$NGINX_WORKER")
      row nginx - "$conns" "$n_rps" "$n_p50" "$n_p99" 1.00 - "$n_cpu" "$n_failed" \
        "$(($(peak_rss_kb "$NGINX_PID") + $(peak_rss_kb "$NGINX_WORKER")))"
      u_rps=""
      if [ -n "$USTREAMER_URL" ]; then
        read -r u_rps u_p50 u_p99 u_failed u_cpu < <(run_ab "$USTREAMER_URL" "$conns" "$USTREAMER_PID")
        row ustreamer - "$conns" "$u_rps" "$u_p50" "$u_p99" "$(ratio "$u_rps" "$n_rps")" 1.00 \
          "$u_cpu" "$u_failed" "$(peak_rss_kb "$USTREAMER_PID")"
      fi
      start_snapvane "$log.$conns.$round"
      if [ "$log" = full ]; then
        run_ab "http://127.0.0.1:$SNAPVANE_PORT/" 50 "$SNAPVANE_PID" "$EARLIER" >/dev/null
      fi
      # Captures: the snapshot files the program makes ("snv..." in its TMPDIR).
      created="$WORK/created.$log.$conns.$round"
      : >"$created"
      watch_creates "$WORK/home.$log.$conns.$round/tmp" "$created" &
      WATCH_PID=$!
      sleep 0.3
      read -r s_rps s_p50 s_p99 s_failed s_cpu < <(run_ab "http://127.0.0.1:$SNAPVANE_PORT/" "$conns" "$SNAPVANE_PID")
      rss=$(peak_rss_kb "$SNAPVANE_PID")
      stop_pid "$WATCH_PID"
      WATCH_PID=""
      captures=$(awk -v n="$REQUESTS" '/^snv/ {c++} END {printf "%.1f", c * 10000 / n}' "$created")
      stop_snapvane
      to_nginx+=("$(ratio "$s_rps" "$n_rps")")
      s_to_u=-
      if [ -n "$u_rps" ]; then
        s_to_u=$(ratio "$s_rps" "$u_rps")
        to_ustreamer+=("$s_to_u")
      fi
      row snapvane "$log" "$conns" "$s_rps" "$s_p50" "$s_p99" "${to_nginx[-1]}" "$s_to_u" \
        "$s_cpu" "$s_failed" "$rss" "$captures"
    done
    line="median over $ROUNDS rounds, $log log, $conns connections: snapvane/nginx $(median "${to_nginx[@]}")"
    [ ${#to_ustreamer[@]} -eq 0 ] || line+=", snapvane/ustreamer $(median "${to_ustreamer[@]}")"
    echo "$line"
  done
done
