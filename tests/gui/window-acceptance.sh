#!/usr/bin/env bash
# The window program as an operator meets it. Starts the real `kestrova` on
# simulated cameras on a private X server with a window manager (Xvfb and
# openbox), drives it with real X input (xdotool: clicks at the controls,
# typed text, Enter, the close boxes) and judges by screen grabs and by the
# files it writes:
#   - `--help` and a bad option are answered without a display;
#   - the Preview changes from grab to grab while nobody touches anything;
#   - no Preview window during a take, exactly one after it, none after the
#     operator closed it by hand, and the program goes on;
#   - values typed and committed with Enter, several times in a row and after
#     the messages for a bad value, are in KVA_Params.txt after closing;
#   - "Set" without picks and a take into a missing folder say so;
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

# --- the program -------------------------------------------------------------
mkdir -p "$work/takes"
start_kestrova --sensors sim

# --- a live preview ------------------------------------------------------------
sleep 1
changed=$(grab_preview start 6)
[ "$changed" -ge 4 ] || fail "the Preview changed in $changed of 5 grabs while the scene moved"
import -window root "$shots/screen-start.png"

# --- Enter, several times in a row, and the messages for a bad value ----------
enter_value 132 321 60 14 64     # Resolution
enter_value 54 105 36 12 12.5    # X of camera 1
enter_value 60 237 36 12 -20     # X min
enter_value 156 81 36 12 120     # Max Depth, out of range: two messages
if wait_for 5 kestrova_windows_are 2; then
  import -window root "$shots/range-message.png"
  xdotool key Return
  sleep 0.5
  wait_for 5 kestrova_windows_are 2 && xdotool key Return || fail "Enter brought the range message once"
  wait_for 5 kestrova_windows_are 1 || fatal "the range message did not go"
else
  fail "Enter on a Max Depth of 120 brought no message"
fi
enter_value 156 81 36 12 40      # Max Depth

# --- messages that tell the operator what to do ---------------------------------
# answer_message NAME WHAT: grabs the message box that must be up, closes it by Enter.
answer_message() {
  if wait_for 5 kestrova_windows_are 2; then
    import -window root "$shots/$1.png"
    xdotool key Return
    wait_for 5 kestrova_windows_are 1 || fatal "$2: the message did not go"
  else
    fail "$2 brought no message"
  fi
}
click_control 168 9 32 14        # Set, with no points picked
answer_message set-message "Set without picks"
enter_value 72 369 80 14 "$work/no such folder/takes"  # Output Dir
click_control 18 414 18 18       # record into a missing folder
answer_message path-message "A take into a missing folder"
enter_value 72 369 80 14 "$work/takes"

# --- takes: no Preview during one, exactly one after it -----------------------
for take in 1 2; do
  # The second take keeps its depth frames: "Keep depth frames" checked.
  [ "$take" = 2 ] && click_control 12 443 60 10
  click_control 18 414 18 18     # record
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
    click_control 18 414 18 18   # record, and replace
    wait_for 5 kestrova_windows_are 2 || fail "the second question did not come"
    xdotool key alt+y
  fi
  wait_for 15 previews_are 0 || fail "take $take: $(previews) Preview windows during the take"
  wait_for 10 test -s "$work/takes/PCL1.dat" || fatal "take $take: nothing recorded"
  sleep 1
  import -window root "$shots/screen-take$take.png"
  previews_are 0 || fail "take $take: $(previews) Preview windows during the take"
  click_control 48 414 18 18     # stop
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
click_close_box "$(xdotool search --onlyvisible --name '^Preview$' | head -n1)"
wait_for 10 previews_are 0 || fail "the Preview closed by hand is still on screen"
sleep 1
running || fatal "closing the Preview ended the program: $(tail -n 5 "$work/log")"
kestrova_windows_are 1 || fail "the Kestrova window is gone after closing the Preview"
import -window root "$shots/screen-preview-closed.png"

enter_value 54 153 36 12 -33     # Z of camera 1
enter_value 156 129 36 12 4      # RY of camera 1

# --- closing the window -----------------------------------------------------------
close_kestrova

params="$work/run/KVA_Params.txt"
expect_line() {
  grep -qF "$1"$'\r' "$params" 2>/dev/null || fail "KVA_Params.txt lacks '$1': $(tr '\r' ' ' <"$params" 2>/dev/null)"
}
expect_line "RESOLUTION: 64.000000 "
expect_line "ROI: -20.000000 26.000000 -41.000000 -4.000000 -22.000000 13.000000 "
expect_line "CAM1: 12.500000 0.000000 -33.000000 17.000000 4.000000 -2.000000 255 255 0 40.000000 "

finish
