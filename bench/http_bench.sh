#!/usr/bin/env bash
# Loopback HTTP load: Snapvane's server (bench/http_serve, the real accept handler
# and workers over a 640x480 test-pattern snapshot) beside nginx serving the same
# JPEG as a static file, with ab (HTTP/1.0, a new connection per request) at 50
# and 200 connections.
#
#   bench/http_bench.sh [build-dir] [requests-per-run] [rounds]
#
# Prints requests/s, p50 and p99 (ms), the ratio to nginx, captures per 10000
# requests, failed requests and peak memory for every run. The two servers take
# turns, round after round, so a change in the machine's load hits both; the
# median ratio of the rounds closes each block.
set -euo pipefail

BUILD=${1:-build}
REQUESTS=${2:-20000}
ROUNDS=${3:-3}
SERVE="$BUILD/bench/http_serve"
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
for tool in "$SERVE" "$NGINX" "$(command -v ab || true)" "$(command -v curl || true)"; do
  if [ -z "$tool" ] || [ ! -x "$tool" ]; then
    echo "missing tool: ${tool:-ab/curl} (build http_serve; scripts/install-deps.sh)" >&2
    exit 2
  fi
done

WORK=$(mktemp -d /tmp/snapvane-http-bench.XXXXXX)
chmod 755 "$WORK"
SERVE_PID=""
NGINX_PID=""
cleanup() {
  [ -n "$SERVE_PID" ] && kill "$SERVE_PID" 2>/dev/null && wait "$SERVE_PID" 2>/dev/null || true
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Starts http_serve; sets SERVE_PID and SERVE_PORT.
start_snapvane() {
  local out="$WORK/serve.$1.out"
  : >"$out"
  TMPDIR="$WORK" "$SERVE" --port 0 --still 1 >"$out" 2>&1 &
  SERVE_PID=$!
  for _ in $(seq 100); do
    SERVE_PORT=$(awk '/^listening/ {print $2}' "$out")
    [ -n "$SERVE_PORT" ] && return 0
    sleep 0.05
  done
  echo "http_serve did not start" >&2
  cat "$out" >&2
  exit 1
}

# Stops http_serve and prints its counts line ("captures N refused N peak_rss_kb N").
stop_snapvane() {
  kill -INT "$SERVE_PID"
  wait "$SERVE_PID" || true
  SERVE_PID=""
  awk '/^captures/' "$WORK/serve.$1.out"
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# One ab run; prints "rps p50 p99 failed".
run_ab() {
  local url=$1 concurrency=$2 csv="$WORK/ab.csv" log="$WORK/ab.log"
  ab -q -n "$REQUESTS" -c "$concurrency" -e "$csv" "$url" >"$log" 2>&1 || {
    echo "ab failed:" >&2
    cat "$log" >&2
    exit 1
  }
  local rps failed p50 p99
  rps=$(awk '/^Requests per second/ {print $4}' "$log")
  failed=$(awk '/^Failed requests/ {print $3}' "$log")
  p50=$(awk -F, '$1 == 50 {print $2}' "$csv")
  p99=$(awk -F, '$1 == 99 {print $2}' "$csv")
  echo "$rps $p50 $p99 $failed"
}

# The picture nginx serves: one snapshot fetched from Snapvane.
start_snapvane warmup
mkdir -p "$WORK/www" "$WORK/nginx/logs"
curl -sS -o "$WORK/www/snap.jpg" "http://127.0.0.1:$SERVE_PORT/"
stop_snapvane warmup >/dev/null
chmod 644 "$WORK/www/snap.jpg"
JPEG_BYTES=$(stat -c %s "$WORK/www/snap.jpg")

NGINX_PORT=$(free_port)
cat >"$WORK/nginx/nginx.conf" <<EOF
daemon off;
worker_processes auto;
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
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/" && break
  sleep 0.05
done

echo "snapshot: ${JPEG_BYTES} bytes (640x480 test pattern); $REQUESTS requests per run"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
printf '%-9s %5s %10s %8s %8s %8s %14s %7s %12s\n' server conns "req/s" "p50 ms" "p99 ms" ratio "captures/10k" failed "peak RSS kB"
for conns in 50 200; do
  ratios=()
  for round in $(seq "$ROUNDS"); do
    read -r n_rps n_p50 n_p99 n_failed < <(run_ab "http://127.0.0.1:$NGINX_PORT/" "$conns")
    nginx_rss=$(awk '/VmHWM/ {print $2}' /proc/"$NGINX_PID"/status)
    for child in $(pgrep -P "$NGINX_PID"); do
      nginx_rss=$((nginx_rss + $(awk '/VmHWM/ {print $2}' /proc/"$child"/status)))
    done
    start_snapvane "c$conns"
    read -r s_rps s_p50 s_p99 s_failed < <(run_ab "http://127.0.0.1:$SERVE_PORT/" "$conns")
    read -r _ captures _ refused _ rss < <(stop_snapvane "c$conns")
    ratio=$(awk -v a="$s_rps" -v b="$n_rps" 'BEGIN {printf "%.2f", a / b}')
    ratios+=("$ratio")
    per10k=$(awk -v c="$captures" -v n="$REQUESTS" 'BEGIN {printf "%.0f", c * 10000 / n}')
    printf '%-9s %5s %10s %8s %8s %8s %14s %7s %12s\n' nginx "$conns" "$n_rps" "$n_p50" "$n_p99" 1.00 - "$n_failed" "$nginx_rss"
    printf '%-9s %5s %10s %8s %8s %8s %14s %7s %12s\n' snapvane "$conns" "$s_rps" "$s_p50" "$s_p99" "$ratio" "$per10k" "$s_failed" "$rss"
    [ "$refused" = "0" ] || echo "  (snapvane closed $refused connections over its bound at once)"
  done
  median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')
  echo "median ratio at $conns connections over $ROUNDS rounds: $median"
done
