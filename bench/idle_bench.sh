#!/usr/bin/env bash
# Idle cost of Snapvane over SECONDS (default 60) s, ROUNDS (default 3) rounds each:
# the preview shown (Xvfb), the window hidden (minimised, no tray), and --headless
# with nothing due; beside ustreamer idle (when installed) and a Qt Widgets window
# that does nothing. Prints % of one core (utime+stime from /proc/PID/stat) and RSS.
# Usage: bench/idle_bench.sh [build dir]   (build: cmake --build build --target bench_all)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
seconds="${SECONDS_PER_ROUND:-60}"
rounds="${ROUNDS:-3}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
hz="$(getconf CLK_TCK)"

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

# measure NAME PID: one round, after a 3 s settle.
measure() {
  sleep 3
  local t0 t1
  t0="$(ticks "$2")"
  sleep "$seconds"
  t1="$(ticks "$2")"
  awk -v n="$1" -v d="$((t1 - t0))" -v hz="$hz" -v s="$seconds" -v rss="$(rss_kb "$2")" \
    'BEGIN {printf "%-26s %6.2f %% of a core  RSS %6.1f MB\n", n, 100 * d / hz / s, rss / 1024}'
}

# Settings: 640x480 test pattern, nothing due, every output off.
mkdir -p "$work/cfg/tolmar"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n"interval"=dword:00000000\n' \
  >"$work/cfg/tolmar/Snapvane.reg"
export XDG_CONFIG_HOME="$work/cfg" TMPDIR="$work" SNAPVANE_CAPTURE=pattern

# A display of its own (the first free one from :97), ready before anyone uses it.
for d in $(seq 97 140); do
  [ -e "/tmp/.X11-unix/X$d" ] || [ -e "/tmp/.X$d-lock" ] || { display=":$d"; break; }
done
Xvfb "${display:?no free display}" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
for _ in $(seq 50); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# A window manager, so the window can be minimised (no tray: it stays minimised).
command -v openbox >/dev/null && { DISPLAY=$display openbox >/dev/null 2>&1 & sleep 1; }
for round in $(seq "$rounds"); do
  echo "== round $round"
  DISPLAY=$display "$build/snapvane" 2>/dev/null & pid=$!
  measure "preview shown" "$pid"; kill "$pid"; wait "$pid" || true
  DISPLAY=$display "$build/snapvane" 2>/dev/null & pid=$!
  sleep 2
  for w in $(DISPLAY=$display xdotool search --pid "$pid" --name Snapvane 2>/dev/null); do
    DISPLAY=$display xdotool windowminimize "$w" 2>/dev/null || true
  done
  measure "window hidden" "$pid"; kill "$pid"; wait "$pid" || true
  "$build/snapvane" --headless 2>/dev/null & pid=$!
  measure "--headless, nothing due" "$pid"; kill "$pid"; wait "$pid" || true
  if command -v ustreamer >/dev/null; then
    printf '\xff\xd8\xff\xd9' >"$work/picture.jpg"
    ustreamer -k "$work/picture.jpg" -s 127.0.0.1 -p "${USTREAMER_PORT:-18099}" >/dev/null 2>&1 & pid=$!
    measure "ustreamer -k (reference)" "$pid"; kill "$pid"; wait "$pid" || true
  fi
  DISPLAY=$display "$build/bench/bench_idle_qt_window" & pid=$!
  measure "Qt Widgets window (ref.)" "$pid"; kill "$pid"; wait "$pid" || true
done
