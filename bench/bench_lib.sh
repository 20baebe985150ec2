# Shell helpers the benchmarks share: source it, then use stop_pid, free_port and
# wait_http.

# Ends one process started by the benchmark (nothing when the pid is empty).
stop_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# A loopback port free a moment ago.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits up to 10 s for an HTTP answer from the URL; false (and a line) if none came.
wait_http() {
  for _ in $(seq 200); do
    curl -s -o /dev/null --max-time 1 "$1" && return 0
    sleep 0.05
  done
  echo "no answer from $1" >&2
  return 1
}
