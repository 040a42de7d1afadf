#!/usr/bin/env bash
# The CPU the window program uses while it previews four simulated cameras:
# starts `kestrova --sensors sim` with all four cameras enabled on a private
# Xvfb display, lets it settle, then reads its CPU time (user + system, from
# /proc) over a measuring span and prints it as a share of one core, with
# the preview's redraws per second seen on screen.
#
#   bench/preview-cpu.sh [KESTROVA] [SECONDS]
set -euo pipefail
kestrova=$(realpath "${1:-build/kestrova}")
seconds=${2:-20}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

printf 'TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 1 1 1 1 \r\n' > "$work/KVA_Params.txt"
(cd "$work" && exec "$kestrova" --sensors sim) >"$work/log" 2>&1 &
pid=$!
pids+=($pid)
sleep 5

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
preview=$(xdotool search --onlyvisible --name '^Preview$' | head -n1)
before=$(ticks)
changes=0
last=""
end=$((SECONDS + seconds))
while ((SECONDS < end)); do
  shot=$(import -window "$preview" rgb:- 2>/dev/null | md5sum)
  [ "$shot" != "$last" ] && changes=$((changes + 1))
  last=$shot
  sleep 0.5
done
after=$(ticks)
hz=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" -v c="$changes" \
  'BEGIN { printf "CPU %.2f s in %d s: %.2f of one core; preview changed in %d of %d grabs\n", t / hz, s, t / hz / s, c, s * 2 }'
