#!/usr/bin/env bash
# The recorder's CPU time on a one-camera replay of 300 kept depth frames,
# against the plain library-built pipeline (bench/LibraryPipeline: a new
# cloud per frame, the voxel grid, the transform and three pass-through
# filters, each on a heap copy) run on the same frames. Records the frames
# first from one simulated camera.
#
#   bench/recorder-cpu.sh [BUILD_DIR] [OLDER_BUILD_DIR]
#
# With OLDER_BUILD_DIR, that build's kestrova-record replays the same frames
# too, for a before-and-after line.
set -euo pipefail
build=$(realpath "${1:-build}")
older=${2:+$(realpath "$2")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/frames"
printf 'TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 1 0 0 0 \r\n' > "$work/params.txt"
"$build/kestrova-record" --sensors sim:1 --params "$work/params.txt" --keep-depth --frames 300 \
  --out "$work/frames" > /dev/null 2>&1

# "USER SYSTEM" seconds of a command, its output dropped.
cpu() { /usr/bin/time -f '%U %S' "$@" 2>&1 >/dev/null | tail -n1; }
# One line: the CPU of a run, and its share of the reference's (user + system, and user alone).
line() {
  awk -v what="$1" -v u="${2% *}" -v s="${2#* }" -v ru="${reference% *}" -v rs="${reference#* }" \
    'BEGIN { printf "%-38s %5.2f s CPU (%.2f s user): %.2f of the reference (user alone %.2f)\n",
             what, u + s, u, (u + s) / (ru + rs), u / ru }'
}

replay() {  # BUILD: the recorder replaying the kept frames
  rm -rf "$work/replayed" && mkdir "$work/replayed"
  cpu "$1/kestrova-record" --sensors "replay:$work/frames" --params "$work/params.txt" --out "$work/replayed"
}

reference=$(cpu "$build/kestrova-reference-pipeline" "$work/frames" 1)
recorder=$(replay "$build")
awk -v u="${reference% *}" -v s="${reference#* }" \
  'BEGIN { printf "%-38s %5.2f s CPU (%.2f s user)\n", "plain PCL pipeline, 300 frames:", u + s, u }'
line "kestrova-record replaying them:" "$recorder"
if [ -n "$older" ]; then line "older kestrova-record replaying them:" "$(replay "$older")"; fi
