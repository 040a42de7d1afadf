#!/usr/bin/env bash
# The window program as an operator meets it. Starts the real `kestrova` on
# simulated cameras on a private 1024 x 768 X server with a window manager
# (Xvfb and openbox), drives it with real X input (xdotool: clicks at the
# controls, typed text, Enter, Ctrl+C, the close boxes) and judges by screen
# grabs, by texts copied from the fields and message boxes, and by the files
# it writes:
#   - `--help` and a bad option are answered without a display;
#   - started where no camera is found, the window says how to try simulated ones;
#   - the window and the Preview fit the screen side by side, the Preview at
#     its size whenever it opens;
#   - the Preview changes from grab to grab while nobody touches anything;
#   - no Preview window during a take, exactly one after it, none after the
#     operator closed it by hand, and the Preview button brings it back;
#   - values typed and committed with Enter, several times in a row, also
#     during a take (typed slowly across the window's refreshes), are in
#     KVA_Params.txt after closing;
#   - a bad value brings one message naming its field, a region minimum above
#     its maximum is refused, a negative number shows its sign;
#   - "Set" without picks, a take with no camera ticked and a take into a
#     missing folder say so; the first take goes into the default folder,
#     which it makes;
#   - a take shows that it runs, and Time reads 0 at its start and after a
#     refused one, and the take's length at its end;
#   - a take into a folder that holds one asks first, No keeping it;
#   - closing the window ends the process with status 0.
# Every wait is bounded. The grabs are kept in the shots directory.
#
#   window-acceptance.sh KESTROVA [SHOTS_DIR]
set -uo pipefail

kestrova=$(realpath "$1")
shots=$(mkdir -p "${2:-$PWD/window-acceptance}" && realpath "${2:-$PWD/window-acceptance}")
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"

# --- the terminal, without a display ---------------------------------------
if ! env -u DISPLAY "$kestrova" --help >"$work/help" 2>&1 || ! grep -q -- "--sensors" "$work/help"; then
  fail "--help without a display: $(head -c 300 "$work/help")"
fi
env -u DISPLAY "$kestrova" --fps fast >"$work/bad" 2>&1
status=$?
if [ "$status" -ne 2 ] || ! grep -q "^kestrova: --fps" "$work/bad"; then
  fail "a bad option without a display: status $status: $(head -c 300 "$work/bad")"
fi

# --- an X server with a window manager --------------------------------------
start_x_session

# answer_message NAME WHAT [TEXT]: grabs the message box that must be up,
# copies its text (which must hold TEXT), closes it by Enter.
answer_message() {
  if wait_for 5 kestrova_windows_are 2; then
    import -window root "$shots/$1.png"
    if [ -n "${3:-}" ]; then
      local said
      said=$(copied)
      grep -qF -- "$3" <<<"$said" || fail "$2: the message says '$(tr '\n' ' ' <<<"$said")', not '$3'"
    fi
    xdotool key Return
    wait_for 5 kestrova_windows_are 1 || fatal "$2: the message did not go"
  else
    fail "$2 brought no message"
  fi
}

# The program's home, where its default output folder goes.
mkdir -p "$work/takes" "$work/home"
export HOME="$work/home"

# --- no camera found: the window says what to do ------------------------------
start_kestrova  # the real cameras: none here
sleep 0.5
grab_control cameraHint "$shots/camera-hint.png"
import -window root "$shots/screen-no-camera.png"
[ "$("$gui/pixels.py" ink "$shots/camera-hint.png" 0 0 999 999 c00000)" -gt 20 ] ||
  fail "started without cameras, the window does not say how to try simulated ones"
close_kestrova

# --- the program ---------------------------------------------------------------
start_kestrova --sensors sim
preview=$(preview_window)

# --- both windows on the screen, side by side --------------------------------
read -r kx ky kw kh < <(frame_geometry "$window")
read -r px py pw ph < <(frame_geometry "$preview")
for w in "Kestrova $kx $ky $kw $kh" "Preview $px $py $pw $ph"; do
  read -r name x y width height <<<"$w"
  ((x >= 0 && y >= 0 && x + width <= screen_width && y + height <= screen_height)) ||
    fail "the $name window ($width x $height at $x, $y) does not fit the ${screen_width} x ${screen_height} screen"
done
((px + pw <= kx || kx + kw <= px || py + ph <= ky || ky + kh <= py)) ||
  fail "the Preview ($pw x $ph at $px, $py) covers the Kestrova window ($kw x $kh at $kx, $ky)"
# At its size: the largest 4:3 beside the window on this screen.
preview_size="570 427"
preview_is_at_its_size() {
  local x y w h
  read -r x y w h < <(client_geometry "$(preview_window)")
  [ "$w $h" = "$preview_size" ] || fail "$1: the Preview opened at $w x $h, not ${preview_size/ / x }"
}
preview_is_at_its_size "at start"

# --- a live preview ------------------------------------------------------------
sleep 1
changed=$(grab_preview start 6)
[ "$changed" -ge 4 ] || fail "the Preview changed in $changed of 5 grabs while the scene moved"
import -window root "$shots/screen-start.png"

# --- Enter, several times in a row, and one message per bad value -------------
enter_value resolution 64
enter_value x 12.5               # X of camera 1
enter_value xMin -20
enter_value maxDepth 120         # out of range: one message, naming the field
answer_message range-message "Enter on a Max Depth of 120" "Max Depth (%): please enter a number between 0 and 100."
sleep 0.5
kestrova_windows_are 1 || fail "Enter on a Max Depth of 120 brought a second message"
enter_value maxDepth 40
enter_value xMin 30              # above X max: refused
answer_message region-message "Enter on an X min above X max" "X min (cm) must not lie above X max (cm)"
enter_value xMin -20              # the field kept the refused text: mended

# --- a negative number shows its sign ----------------------------------------------
enter_value rz -0.0134654        # RZ of camera 1, shown again after choosing camera 2 and 1
for camera in 2 1; do
  click_control cameraId
  sleep 0.3
  xdotool type "$camera"
  xdotool key Return
  sleep 0.3
done
grab_control rz "$shots/rz-field.png"
sign=$("$gui/pixels.py" minus "$shots/rz-field.png" 0 0 999 999)
[ "$sign" = yes ] || fail "RZ of -0.0134654 does not show its sign ($sign)"

# --- messages that tell the operator what to do ---------------------------------
click_control set                # with no points picked
answer_message set-message "Set without picks" "shift + left click"
click_control camera1            # no camera ticked
click_control record
answer_message no-camera-message "A take with no camera ticked" "No camera is ticked"
click_control camera1
[ ! -e "$work/home/Kestrova" ] || fail "a refused take made the output folder"

# --- the first take, into the default folder, which it makes --------------------
click_control record
wait_for 15 previews_are 0 || fail "the first take: $(previews) Preview windows during it"
wait_for 10 test -s "$work/home/Kestrova/PCL1.dat" || fatal "the first take recorded nothing into ~/Kestrova"
sleep 1.5
import -window root "$shots/screen-take.png"
grab_control recordingMark "$shots/recording-mark.png"
[ "$("$gui/pixels.py" ink "$shots/recording-mark.png" 0 0 999 999 e00000)" -gt 20 ] ||
  fail "nothing shows that a take is running"
click_control stop
wait_for 15 previews_are 1 || fatal "after the first take: no Preview"
sleep 0.6
grab_control recordingMark "$shots/recording-mark-after.png"
[ "$("$gui/pixels.py" ink "$shots/recording-mark-after.png" 0 0 999 999 e00000)" -eq 0 ] ||
  fail "the take still shows as running after it ended"
preview_is_at_its_size "after the first take"
# Time: the take's length, as its time stamps give it (within the
# granularity of whole seconds, shown rounded down).
shown=$(read_field time)
length=$(awk 'NR == 1 {first = $2 * 4294967296 + $3} {last = $2 * 4294967296 + $3}
              END {printf "%.2f", (last - first + 33) / 1000}' "$work/home/Kestrova/TS1.txt")
seconds=$(sed -n 's/^ *\([0-9]*\) min *\([0-9]*\) sec$/\1 \2/p' <<<"$shown" | awk '{print $1 * 60 + $2}')
awk -v s="${seconds:--9}" -v l="$length" 'BEGIN { exit !(s <= l + 0.2 && s > l - 1.2) }' ||
  fail "Time shows '$shown' after a take of $length s"

# --- a take that cannot start: says so, and Time starts from 0 -------------------
enter_value outputDir "$work/no such folder/takes"
click_control record             # into a missing folder
answer_message path-message "A take into a missing folder" "no such folder"
shown=$(read_field time)
[ "$shown" = " 0 min  0 sec" ] || fail "after a refused take Time shows '$shown', not 0"
enter_value outputDir "$work/takes"

# --- takes: no Preview during one, exactly one after it -----------------------
for take in 1 2; do
  # The second take keeps its depth frames: "Keep depth frames" checked.
  [ "$take" = 2 ] && click_control keepDepth
  click_control record
  if [ "$take" = 2 ]; then
    # A take already in the folder: the window asks first. No, the default
    # (Enter), keeps it untouched; Yes (Alt+Y) replaces it.
    wait_for 5 kestrova_windows_are 2 || fail "a second take into the folder did not ask"
    import -window root "$shots/replace-question.png"
    kept=$(stat -c %s "$work/takes/PCL1.dat")
    xdotool key Return
    wait_for 5 kestrova_windows_are 1 || fatal "the question did not go"
    sleep 1
    previews_are 1 || fail "No to the question started a take"
    [ "$(stat -c %s "$work/takes/PCL1.dat")" = "$kept" ] || fail "No to the question touched the take"
    click_control record         # record, and replace
    wait_for 5 kestrova_windows_are 2 || fail "the second question did not come"
    xdotool key alt+y
  fi
  wait_for 15 previews_are 0 || fail "take $take: $(previews) Preview windows during the take"
  wait_for 10 test -s "$work/takes/PCL1.dat" || fatal "take $take: nothing recorded"
  shown=$(read_field time)
  [ "$shown" = " 0 min  0 sec" ] || [ "$shown" = " 0 min  1 sec" ] ||
    fail "take $take: Time shows '$shown' at its start"
  if [ "$take" = 1 ]; then
    # Typed slowly, across the window's refreshes, then committed.
    click_control resolution
    xdotool key ctrl+a
    xdotool type --delay 700 150
    xdotool key ctrl+a
    typed=$(copied)
    [ "$typed" = 150 ] || fail "during a take, 150 typed into Resolution became '$typed'"
    xdotool key Return
  fi
  sleep 1
  import -window root "$shots/screen-take$take.png"
  previews_are 0 || fail "take $take: $(previews) Preview windows during the take"
  click_control stop
  wait_for 15 previews_are 1 || fatal "after take $take: no Preview"
  sleep 1
  previews_are 1 || fail "after take $take: $(previews) Preview windows"
  if [ "$take" = 1 ]; then
    [ ! -e "$work/takes/DEPTH1.dat" ] || fail "take 1 kept depth frames unasked"
  else
    [ "$(stat -c %s "$work/takes/DEPTH1.dat" 2>/dev/null || echo 0)" -gt 16 ] ||
      fail "take 2 kept no depth frames with \"Keep depth frames\" checked"
  fi
done
changed=$(grab_preview after-takes 4)
[ "$changed" -ge 2 ] || fail "after the takes the Preview changed in $changed of 3 grabs"
import -window root "$shots/screen-after-takes.png"

# --- closing the Preview by hand ends the preview, not the program -----------
click_close_box "$(preview_window)"
wait_for 10 previews_are 0 || fail "the Preview closed by hand is still on screen"
sleep 1
running || fatal "closing the Preview ended the program: $(tail -n 5 "$work/log")"
kestrova_windows_are 1 || fail "the Kestrova window is gone after closing the Preview"
import -window root "$shots/screen-preview-closed.png"
# ... and its button brings it back, then to the front.
click_control preview
wait_for 10 previews_are 1 || fail "the Preview button did not open the Preview again"
preview_is_at_its_size "from its button"
xdotool windowactivate --sync "$window" 2>/dev/null
click_control preview
wait_for 3 sh -c "[ \"\$(xdotool getactivewindow)\" = \"\$(xdotool search --onlyvisible --name '^Preview\$' | head -n1)\" ]" ||
  fail "the Preview button did not bring the open Preview to the front"

enter_value z -33                # Z of camera 1
enter_value ry 4                 # RY of camera 1

# --- closing the window -----------------------------------------------------------
close_kestrova

params="$work/run/KVA_Params.txt"
expect_line() {
  grep -qF "$1"$'\r' "$params" 2>/dev/null || fail "KVA_Params.txt lacks '$1': $(tr '\r' ' ' <"$params" 2>/dev/null)"
}
expect_line "RESOLUTION: 150.000000 "
expect_line "ROI: -20.000000 26.000000 -41.000000 -4.000000 -22.000000 13.000000 "
expect_line "CAM1: 12.500000 0.000000 -33.000000 17.000000 4.000000 -0.013465 255 255 0 40.000000 "

finish
