# Shell helpers the benchmarks share: source it, then use stop_pid, free_port,
# wait_http and start_snapvane_http.

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

# Starts $SNAPVANE (offscreen, the test-pattern camera, HTTP on a free port, plus
# the settings lines EXTRA, e.g. '"httpStream"=dword:00000001\n') with its home in
# DIR and its output in OUT; further arguments go to the program. Sets SNAPVANE_PID
# and SNAPVANE_PORT and waits for its first answer.
start_snapvane_http() {
  local dir=$1 out=$2 extra=$3
  shift 3
  SNAPVANE_PORT=$(free_port)
  rm -rf "$dir"
  mkdir -p "$dir/tolmar" "$dir/tmp"
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n"http"=dword:00000001\n"httpPort"=dword:%08x\n%b' \
    "$SNAPVANE_PORT" "$extra" >"$dir/tolmar/Snapvane.reg"
  XDG_CONFIG_HOME="$dir" TMPDIR="$dir/tmp" QT_QPA_PLATFORM=offscreen SNAPVANE_CAPTURE=pattern \
    "$SNAPVANE" "$@" >"$out" 2>&1 &
  SNAPVANE_PID=$!
  wait_http "http://127.0.0.1:$SNAPVANE_PORT/" || {
    cat "$out" >&2
    exit 1
  }
}

# Names of the files made in DIR, one a line, appended to FILE until killed (inotify,
# from outside the program). Run it in the background (it becomes the process the
# job is: stop_pid ends it); give it a moment to start.
watch_creates() {
  exec /usr/bin/python3 - "$1" "$2" <<'PY'
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
if fd < 0 or libc.inotify_add_watch(fd, sys.argv[1].encode(), 0x100) < 0:  # IN_CREATE
    sys.exit("inotify: " + os.strerror(ctypes.get_errno()))
with open(sys.argv[2], "a", buffering=1) as out:
    while True:
        events = os.read(fd, 65536)
        at = 0
        while at < len(events):
            _, _, _, length = struct.unpack_from("iIII", events, at)
            out.write(events[at + 16:at + 16 + length].rstrip(b"\0").decode(errors="replace") + "\n")
            at += 16 + length
PY
}
