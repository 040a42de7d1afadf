#!/usr/bin/env bash
# The Preview as an operator meets it. The real `kestrova` on simulated
# camera 1 alone (a voxel grid of 0.25 cm), under Xvfb (1024 x 768) and
# openbox, driven by real X input and judged by screen grabs and by the
# texts it shows:
#   - the Preview opens on the whole region box, which fills most of it;
#   - shift + click picks only points of the clouds: clicks on the box's
#     corners pick nothing, the hint line says so, and "Set" still asks
#     for two picks;
#   - the scale calibration on the simulated scene's 30 cm rod, picked at
#     its ends as worked out from the known scene and the opening view
#     (opening_view.py), comes within 2 % of the true 0.00125; the marker
#     sits on the picked point; the length dialog says what to type, and a
#     length of 0 keeps it open with a message;
#   - the wheel zooms towards the pointer; R resets the view;
#   - the view the operator left survives a take, and the Preview reopens
#     at its size and place;
#   - for a user who reads Japanese the length dialog's Cancel is another
#     text than in English (キャンセル; the window test reads both texts).
# Every wait is bounded. The grabs are kept in the shots directory.
#
#   preview-acceptance.sh KESTROVA [SHOTS_DIR]
set -uo pipefail

kestrova=$(realpath "$1")
shots=$(mkdir -p "${2:-$PWD/preview-acceptance}" && realpath "${2:-$PWD/preview-acceptance}")
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"

start_x_session
mkdir -p "$work/run" "$work/takes"
params() {
  printf 'TIME: x\r\n \r\nCAL: 0.001200 \r\nCAM: 1 0 0 0 \r\nROI: -29 26 -41 -4 -22 13 \r\nRESOLUTION: 400 \r\n' \
    >"$work/run/KVA_Params.txt"
}
params
start_kestrova --sensors sim
preview=$(preview_window)
read -r px py pw ph < <(client_geometry "$preview")
sleep 1.5

grab() { park_pointer; sleep 0.3; import -window "$(preview_window)" "$shots/$1.png"; }
box_of() { "$gui/pixels.py" box "$shots/$1.png"; }
shift_click() {  # x y in the Preview's drawing area
  xdotool mousemove $((px + $1)) $((py + $2))
  xdotool keydown shift click 1 keyup shift
  sleep 0.4
}
length_dialog_is_up() { [ "$(windows_named 'Length of Calibration \(cm\)')" -eq 1 ]; }
near() {  # near X Y X Y PIXELS
  awk -v a="$1" -v b="$2" -v c="$3" -v d="$4" -v r="$5" 'BEGIN { exit !((a - c) ^ 2 + (b - d) ^ 2 <= r * r) }'
}

# --- the whole region box, filling most of the view -------------------------------
grab opening
read -r opening_box < <(box_of opening)
read -r left top right bottom <<<"$opening_box"
((right - left >= pw * 8 / 10)) || fail "the Preview opens with the region box $((right - left)) of $pw pixels wide"

# --- clicks off the clouds pick nothing ---------------------------------------------
read -r cx1 cy1 cx2 cy2 < <("$gui/pixels.py" corners "$shots/opening.png")
shift_click "$cx1" "$cy1"
grab no-pick
[ "$("$gui/pixels.py" light "$shots/no-pick.png" 4 31 400 14)" -gt 40 ] ||
  fail "a click on a corner of the region box: the hint line says nothing"
shift_click "$cx2" "$cy2"
click_control set
if wait_for 5 kestrova_windows_are 2; then
  import -window root "$shots/set-after-box-clicks.png"
  xdotool key Return
  wait_for 5 kestrova_windows_are 1 || fatal "the message did not go"
else
  length_dialog_is_up && xdotool key Escape
  fail "two clicks on the region box's corners were taken as picks"
fi

# --- the calibration on the rod --------------------------------------------------------
# rod_ends: where the rod's ends (x = -17 and 13 cm, top face y = -30, middle
# z = -10) appear in the opening view, as camera 1's cloud holds them at the
# calibration 0.0012: the sensor's points are at the true scale (0.00125 PCL
# units per cm) and the pose moves them by 0.0012 times camera 1's position
# (3, 0, -70) where the truth is 0.00125 times it. Sets ax ay bx by, and
# step: 3 pixels beyond each end along the rod, where the picks click.
rod_ends() {
  read -r ax ay bx by < <("$gui/opening_view.py" "$pw" "$ph" 0.0012 $(awk 'BEGIN {
    split("3 0 -70", t, " ")
    split("-17 -30 -10 13 -30 -10", p, " ")
    for (i = 1; i <= 6; i++) printf "%.7f ", 0.00125 * p[i] + (0.0012 - 0.00125) * t[(i - 1) % 3 + 1] }') | tr '\n' ' ')
  step=$((ax > bx ? 3 : -3))
}
rod_ends
shift_click $((ax + step)) "$ay"
grab first-pick
read -r rx ry < <("$gui/pixels.py" red "$shots/first-pick.png" $((ax - 20)) $((ay - 20)) 40 40)
{ [ "$rx" != none ] && near "$rx" "$ry" $((ax + step)) "$ay" 7; } ||
  fail "the first pick's marker is at '$rx $ry', not at the click ($((ax + step)), $ay)"
shift_click $((bx - step)) "$by"
grab second-pick
click_control set
wait_for 5 length_dialog_is_up || fatal "Set after two picks on the rod: no length dialog"
dialog=$(xdotool search --onlyvisible --name '^Length of Calibration \(cm\)$' | head -n1)
read -r dx dy dw dh < <(client_geometry "$dialog")
import -window root -crop "${dw}x${dh}+${dx}+${dy}" +repage "$shots/length-dialog.png"
[ "$("$gui/pixels.py" ink "$shots/length-dialog.png" 0 0 "$dw" $((dh * 17 / 100)))" -gt 30 ] ||
  fail "the length dialog says nothing above its field"
xdotool key ctrl+a
xdotool type 0
xdotool key Return
if wait_for 5 kestrova_windows_are 2; then
  said=$(copied)
  grep -qF "above 0" <<<"$said" || fail "a length of 0: the message says '$(tr '\n' ' ' <<<"$said")'"
  xdotool key Return
  wait_for 5 kestrova_windows_are 1 || fatal "the message did not go"
else
  fail "a length of 0 brought no message"
fi
length_dialog_is_up || fatal "a length of 0 closed the length dialog"
xdotool key ctrl+a
xdotool type 30
xdotool key Return
wait_for 5 sh -c "! xdotool search --onlyvisible --name '^Length of Calibration' >/dev/null" ||
  fatal "OK with 30 did not close the length dialog"
scale=$(read_field calibration)
awk -v s="$scale" 'BEGIN { exit !(s >= 0.00125 * 0.98 && s <= 0.00125 * 1.02) }' ||
  fail "the rod's 30 cm gave the scale '$scale', not 0.00125 within 2 %"
echo "calibration on the rod: $scale (true 0.00125)"
grab calibrated

# --- the wheel zooms towards the pointer; R resets the view ------------------------------
# The new scale has resized the box: its corner as it is now.
read -r cx1 cy1 _ < <("$gui/pixels.py" corners "$shots/calibrated.png")
read -r _ _ right _ < <(box_of calibrated)
# Out, so that the box stays in the view: it shrinks towards the pointer.
xdotool mousemove $((px + cx1)) $((py + cy1))
for _ in 1 2 3; do xdotool click 5; sleep 0.1; done
grab zoomed-at-corner
read -r zx zy _ < <("$gui/pixels.py" corners "$shots/zoomed-at-corner.png")
near "$zx" "$zy" "$cx1" "$cy1" 4 ||
  fail "zoomed out at the box's corner ($cx1, $cy1), the corner moved to ($zx, $zy)"
read -r _ _ zright _ < <(box_of zoomed-at-corner)
((zright < right - 100)) || fail "three clicks of the wheel did not zoom out (the box's right side from $right to $zright)"
xdotool windowactivate --sync "$(preview_window)" 2>/dev/null
xdotool key r
grab reset
[ "$(box_of reset)" = "$opening_box" ] || fail "R gave the view with the box at $(box_of reset), not at $opening_box"

# --- the operator's view survives a take -------------------------------------------------
# take_and_grab NAME: a take of a moment, then a grab of the Preview that comes back.
take_and_grab() {
  rm -rf "$work/takes" && mkdir -p "$work/takes"
  click_control record
  wait_for 15 previews_are 0 || fatal "the Preview stayed during the take"
  wait_for 10 test -s "$work/takes/PCL1.dat" || fatal "the take recorded nothing"
  click_control stop
  wait_for 15 previews_are 1 || fatal "no Preview after the take"
  sleep 1.5
  grab "$1"
}
enter_value outputDir "$work/takes"
# The opening view, untouched: the whole box again, none of it cut by the
# view's near plane (it once was, when the kept view came before the scene).
take_and_grab after-first-take
[ "$(box_of after-first-take)" = "$opening_box" ] ||
  fail "after a take the untouched view shows the box at $(box_of after-first-take), not at $opening_box"
xdotool mousemove $((px + pw / 2)) $((py + ph / 2))
for _ in 1 2; do xdotool click 4; sleep 0.1; done
grab zoomed
zoomed_box=$(box_of zoomed)
take_and_grab after-take
read -r ax2 ay2 aw2 ah2 < <(client_geometry "$(preview_window)")
[ "$ax2 $ay2 $aw2 $ah2" = "$px $py $pw $ph" ] ||
  fail "after the take the Preview opened at $aw2 x $ah2 at ($ax2, $ay2), not $pw x $ph at ($px, $py)"
read -r l1 t1 r1 b1 <<<"$zoomed_box"
read -r l2 t2 r2 b2 < <(box_of after-take)
for k in 1 2 3 4; do
  a=$(cut -d' ' -f"$k" <<<"$zoomed_box")
  b=$(cut -d' ' -f"$k" <<<"$l2 $t2 $r2 $b2")
  ((a - b <= 2 && b - a <= 2)) || { fail "after the take the view is not the one left (box at $l2 $t2 $r2 $b2, was $zoomed_box)"; break; }
done
import -window root "$shots/screen-after-take.png"
close_kestrova

# --- Cancel in the user's language ---------------------------------------------------------
cancel_button() {  # grabs the length dialog's Cancel button into FILE
  local d x y w h
  d=$(xdotool search --onlyvisible --name '^Length of Calibration \(cm\)$' | head -n1)
  read -r x y w h < <(client_geometry "$d")
  import -window root -crop "$((w / 2))x$((h * 30 / 100))+$((x + w / 2))+$((y + h * 62 / 100))" +repage "$1"
}
# The same again, in English then Japanese: picks on the rod, Set, and the dialog.
for language in en ja; do
  params
  program_env=""
  [ "$language" = ja ] && program_env="LANG=ja_JP.UTF-8 LANGUAGE=ja"
  start_kestrova --sensors sim
  read -r px py pw ph < <(client_geometry "$(preview_window)")
  rod_ends
  sleep 1.5
  shift_click $((ax + step)) "$ay"
  shift_click $((bx - step)) "$by"
  click_control set
  wait_for 5 length_dialog_is_up || fatal "$language: Set after two picks on the rod: no length dialog"
  sleep 0.3
  cancel_button "$shots/cancel-$language.png"
  import -window root "$shots/length-dialog-$language.png"
  xdotool key Escape
  close_kestrova
done
differing=$(compare -metric AE "$shots/cancel-en.png" "$shots/cancel-ja.png" null: 2>&1)
[ "${differing%% *}" -gt 50 ] 2>/dev/null ||
  fail "the length dialog's Cancel looks the same in English and in Japanese ($differing pixels differ)"

finish
