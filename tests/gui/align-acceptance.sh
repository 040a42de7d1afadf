#!/usr/bin/env bash
# "Align" as an operator meets it. The real `kestrova` on four simulated
# cameras standing at the default rig, with poses typed several centimetres
# and degrees off, under Xvfb and openbox, driven by real X input:
#   - Align shows the per-camera result; Cancel (Escape) keeps the typed
#     poses, as the next take's RECPARAM.txt shows, and leaves the focus on
#     Align (Space aligns again);
#   - Align during a take is refused with a message;
#   - with the Preview closed by its close box, Align opens it again and
#     gathers from it; Apply (Enter): the poses in KVA_Params.txt after
#     closing are the true ones within 0.5 cm and 0.5 degree, the reference
#     camera's untouched, and the cameras at ry = +-90 keep their typed rx
#     with ry exactly +-90. (Asked: 1 cm and 1 degree. This rig comes within
#     0.2 cm; when the cameras' frames of a cycle were of different moments
#     it came 0.4 to 2.7 cm off, most of it over 0.5.)
# The Preview is grabbed before and after, for the eye. Every wait is bounded.
#
#   align-acceptance.sh KESTROVA [SHOTS_DIR]
set -uo pipefail

kestrova=$(realpath "$1")
shots=$(mkdir -p "${2:-$PWD/align-acceptance}" && realpath "${2:-$PWD/align-acceptance}")
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"

start_x_session

# The default rig as typed roughly: camera 1 right, the others off by up to
# 8 cm and 7 degrees on every axis.
mkdir -p "$work/run" "$work/takes"
printf '%s\r\n' "TIME: Tue Dec 08 00:00:00 2026" " " "CAL: 0.001250 " "CAM: 1 1 1 1 " \
  "ROI: -29.000000 26.000000 -41.000000 -4.000000 -22.000000 13.000000 " "RESOLUTION: 100.000000 " \
  "CAM1: 3.000000 0.000000 -70.000000 17.000000 -2.000000 -2.000000 255 255 0 15.000000 " \
  "CAM2: 72.500000 5.000000 2.500000 22.000000 -84.000000 -5.000000 0 255 0 15.000000 " \
  "CAM3: -79.500000 -4.000000 -15.500000 9.500000 96.000000 6.000000 0 255 255 15.000000 " \
  "CAM4: 3.000000 6.000000 59.500000 21.000000 172.000000 -6.000000 0 0 255 15.000000 " \
  >"$work/run/KVA_Params.txt"
typed_cam2=$(grep '^CAM2:' "$work/run/KVA_Params.txt" | tr -d '\r')

start_kestrova --sensors sim

# Lets the Preview draw its newest cycle; it opens on the whole region box.
settle_preview() {
  park_pointer
  sleep 1
}

align_dialog_is_up() { [ "$(windows_named Align)" -eq 1 ]; }
click_align() { click_control align; }

# --- Align, then Cancel ---------------------------------------------------------
click_align
wait_for 90 align_dialog_is_up || fatal "Align brought no result: $(tail -n 5 "$work/log")"
sleep 0.5
import -window root "$shots/align-result.png"
xdotool key Escape
wait_for 5 sh -c "[ \$(xdotool search --onlyvisible --name '^Align\$' 2>/dev/null | wc -l) -eq 0 ]" ||
  fatal "Escape did not close the result"
# The focus is back on Align: Space aligns again.
sleep 0.5
xdotool key space
wait_for 90 align_dialog_is_up || fail "Space after the result did not align again (the focus is not on Align)"
xdotool key Escape
wait_for 5 sh -c "[ \$(xdotool search --onlyvisible --name '^Align\$' 2>/dev/null | wc -l) -eq 0 ]" ||
  fatal "Escape did not close the second result"

# --- a take: the poses as typed; Align refused during it -------------------------
enter_value outputDir "$work/takes"
click_control record
wait_for 15 test -s "$work/takes/PCL1.dat" || fatal "the take recorded nothing"
click_align
if wait_for 5 kestrova_windows_are 2; then
  import -window root "$shots/align-during-take.png"
  xdotool key Return
  wait_for 5 kestrova_windows_are 1 || fatal "the message did not go"
else
  fail "Align during a take brought no message"
fi
align_dialog_is_up && fail "Align ran during a take"
click_control stop
wait_for 15 previews_are 1 || fatal "no Preview after the take"
recorded_cam2=$(grep '^CAM2:' "$work/takes/RECPARAM.txt" | tr -d '\r')
[ "$recorded_cam2" = "$typed_cam2" ] ||
  fail "after Cancel the take recorded '$recorded_cam2', not the typed '$typed_cam2'"

# --- the Preview closed by hand; Align, then Apply ----------------------------------
sleep 1
settle_preview
grab_preview before-align 1 >/dev/null
click_close_box "$(xdotool search --onlyvisible --name '^Preview$' | head -n1)"
wait_for 10 previews_are 0 || fatal "the Preview's close box did not close it"
click_align
wait_for 15 previews_are 1 || fail "Align did not open the Preview again"
wait_for 90 align_dialog_is_up || fatal "the second Align brought no result"
sleep 0.5
import -window root "$shots/align-result-2.png"
xdotool key Return
wait_for 5 sh -c "[ \$(xdotool search --onlyvisible --name '^Align\$' 2>/dev/null | wc -l) -eq 0 ]" ||
  fatal "Enter did not apply and close the result"
sleep 1
settle_preview
grab_preview after-align 1 >/dev/null
import -window root "$shots/screen-after-align.png"

close_kestrova

# --- the stored poses against the truth ----------------------------------------------
python3 - "$work/run/KVA_Params.txt" <<'PY' || fail "the applied poses are not the true ones"
import math, sys

TRUE = {1: (3, 0, -70, 17, -2, -2), 2: (78.5, 1, -4.5, 16, -90, 0),
        3: (-85.5, 1, -9.5, 14.5, 90, 0), 4: (-5, 0, 65.5, 15, 179, 1)}
# Cameras 2 and 3 stand at ry = -90 and +90, where only rx + rz (rx - rz)
# is defined: stored with ry exactly there and rx as typed.
TYPED_RX = {2: 22, 3: 9.5}

def rotation(rx, ry, rz):  # Rz * Ry * Rx
    a, b, c = (math.radians(v) for v in (rx, ry, rz))
    Rx = [[1, 0, 0], [0, math.cos(a), -math.sin(a)], [0, math.sin(a), math.cos(a)]]
    Ry = [[math.cos(b), 0, math.sin(b)], [0, 1, 0], [-math.sin(b), 0, math.cos(b)]]
    Rz = [[math.cos(c), -math.sin(c), 0], [math.sin(c), math.cos(c), 0], [0, 0, 1]]
    mul = lambda p, q: [[sum(p[i][k] * q[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    return mul(Rz, mul(Ry, Rx))

def angle_between(p, q):
    trace = sum(p[k][i] * q[k][i] for i in range(3) for k in range(3))
    return math.degrees(math.acos(max(-1.0, min(1.0, (trace - 1) / 2))))

ok = True
for line in open(sys.argv[1], newline=''):
    if not line.startswith('CAM') or line.startswith('CAM:'):
        continue
    n = int(line[3])
    v = [float(x) for x in line.split()[1:7]]
    t = TRUE[n]
    shift = math.dist(v[:3], t[:3])
    turn = angle_between(rotation(*v[3:6]), rotation(*t[3:6]))
    print(f"camera {n}: {shift:.2f} cm and {turn:.2f} degrees from the truth")
    if n == 1 and v != list(t):
        print("camera 1, the reference, moved"); ok = False
    if shift > 0.5 or turn > 0.5:
        ok = False
    if n in TYPED_RX and (abs(v[4]) != 90 or v[3] != TYPED_RX[n]):
        print(f"camera {n}: rx ry rz {v[3]} {v[4]} {v[5]}, not {TYPED_RX[n]} {t[4]} and the rest in rz")
        ok = False
sys.exit(0 if ok else 1)
PY

finish
