#!/usr/bin/env bash
# The CPU the window program uses while it previews four simulated cameras,
# and what the Preview itself costs: starts `kestrova --sensors sim` with all
# four cameras enabled on a private Xvfb display, lets it settle, then reads
# the CPU time (user + system, from /proc) of the program and of its threads
# by name over a measuring span, counting the Preview's redraws seen on
# screen.
#
#   bench/preview-cpu.sh [KESTROVA] [SECONDS] [SCREEN]
#
# SCREEN is the display's size (default 1600x1000; the Preview takes 800 x
# 600 of it, 570 x 427 of a 1024x768 one).
set -euo pipefail
kestrova=$(realpath "${1:-build/kestrova}")
seconds=${2:-20}
screen=${3:-1600x1000}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 "${screen}x24" -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

printf 'TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 1 1 1 1 \r\n' > "$work/KVA_Params.txt"
(cd "$work" && exec "$kestrova" --sensors sim) >"$work/log" 2>&1 &
pid=$!
pids+=($pid)
sleep 5

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
# CPU ticks of the program's threads whose names match a pattern: the
# Preview draws on "kv-preview", through Mesa's "llvmpipe-N" threads on a
# display without a GPU.
thread_ticks() {
  local total=0 task
  for task in /proc/$pid/task/*; do
    grep -Eq "$1" "$task/comm" 2>/dev/null || continue
    total=$((total + $(awk '{print $14 + $15}' "$task/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
server_ticks() { awk '{print $14 + $15}' "/proc/${pids[0]}/stat"; }
hz=$(getconf CLK_TCK)
share() { awk -v t="$1" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", t / hz / s }'; }

preview=$(xdotool search --onlyvisible --name '^Preview$' | head -n1)
before=$(ticks)
drawing_before=$(thread_ticks '^(kv-preview|llvmpipe)')
mesa_before=$(thread_ticks '^llvmpipe')
cameras_before=$(thread_ticks '^kv-(worker|acquire|sensor|preview-loop)')
server_before=$(server_ticks)
changes=0
last=""
end=$((SECONDS + seconds))
while ((SECONDS < end)); do
  shot=$(import -window "$preview" rgb:- 2>/dev/null | md5sum)
  [ "$shot" != "$last" ] && changes=$((changes + 1))
  last=$shot
  sleep 0.5
done
total=$(($(ticks) - before))
drawing=$(($(thread_ticks '^(kv-preview|llvmpipe)') - drawing_before))
cameras=$(($(thread_ticks '^kv-(worker|acquire|sensor|preview-loop)') - cameras_before))
server=$(($(server_ticks) - server_before))

echo "the program:                 $(share "$total") of one core (the Preview changed in $changes of $((seconds * 2)) grabs)"
echo "  the Preview's drawing:     $(share "$drawing") (its render thread and Mesa's; Mesa alone $(share $(($(thread_ticks '^llvmpipe') - mesa_before))))"
echo "  the four cameras:          $(share "$cameras") (sensors, acquisition, loop, workers)"
echo "  the rest (window, Qt):     $(share $((total - drawing - cameras)))"
echo "the X server (Xvfb):         $(share "$server") (this script's screen grabs included)"
