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
rm -f "$shots"/*.png
work=$(mktemp -d)
pids=()
failures=()

cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  failures+=("$*")
}
# Gives up on the rest when a step cannot go on.
fatal() {
  fail "$@"
  [ -n "${DISPLAY:-}" ] && import -window root "$shots/failure.png" 2>/dev/null
  exit 1
}
# wait_for SECONDS COMMAND...: true once COMMAND succeeds, false after SECONDS.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS >= end)) && return 1
    sleep 0.1
  done
}

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
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/display" || fatal "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' ||
  fatal "openbox did not start"

previews() { xdotool search --onlyvisible --name '^Preview$' 2>/dev/null | wc -l; }
previews_are() { [ "$(previews)" -eq "$1" ]; }
titled_kestrova() { xdotool search --onlyvisible --name '^Kestrova$' 2>/dev/null | wc -l; }
kestrova_windows_are() { [ "$(titled_kestrova)" -eq "$1" ]; }
running() { kill -0 "$pid" 2>/dev/null; }

# --- the program -------------------------------------------------------------
mkdir -p "$work/run" "$work/takes"
(cd "$work/run" && exec "$kestrova" --sensors sim) >"$work/log" 2>&1 &
pid=$!
pids+=($pid)
wait_for 30 previews_are 1 && wait_for 10 kestrova_windows_are 1 ||
  fatal "the Kestrova and Preview windows did not open: $(tail -n 5 "$work/log")"
window=$(xdotool search --onlyvisible --name '^Kestrova$' | head -n1)

# Control positions come from the window's dialog units: 211 x 463 of them
# span its client area.
read -r wx wy ww wh < <(xwininfo -id "$window" |
  awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}')
click_control() {  # x y width height, in dialog units
  xdotool mousemove $((wx + ($1 * 2 + $3) * ww / 422)) $((wy + ($2 * 2 + $4) * wh / 926)) click 1
  sleep 0.2
}
enter_value() {  # x y width height text: click the field, replace its text, Enter
  click_control "$1" "$2" "$3" "$4"
  xdotool key ctrl+a
  xdotool type --delay 10 -- "$5"
  xdotool key Return
  sleep 0.3
}
# Clicks the close box of a top-level window, in the window manager's frame.
click_close_box() {
  local frame
  frame=$(xwininfo -id "$1" -tree | awk '/Parent window id/{print $4}')
  read -r fx fy fw < <(xwininfo -id "$frame" |
    awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} END{print x, y, w}')
  xdotool mousemove $((fx + fw - 11)) $((fy + 9)) click 1
}
park_pointer() { xdotool mousemove 1590 990; }
# grab_preview NAME COUNT: COUNT grabs of the Preview, untouched; echoes how
# many differ from the one before.
grab_preview() {
  local preview changed=0 last="" i sign
  preview=$(xdotool search --onlyvisible --name '^Preview$' | head -n1)
  park_pointer
  for ((i = 1; i <= $2; i++)); do
    import -window "$preview" "$shots/$1-$i.png" 2>/dev/null
    sign=$(identify -format '%#' "$shots/$1-$i.png" 2>/dev/null)
    [ -n "$last" ] && [ "$sign" != "$last" ] && changed=$((changed + 1))
    last=$sign
    sleep 0.2
  done
  echo "$changed"
}

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
click_close_box "$window"
wait_for 20 sh -c "! kill -0 $pid 2>/dev/null" || fatal "the program did not end after its window closed"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status: $(tail -n 5 "$work/log")"

params="$work/run/KVA_Params.txt"
expect_line() {
  grep -qF "$1"$'\r' "$params" 2>/dev/null || fail "KVA_Params.txt lacks '$1': $(tr '\r' ' ' <"$params" 2>/dev/null)"
}
expect_line "RESOLUTION: 64.000000 "
expect_line "ROI: -20.000000 26.000000 -41.000000 -4.000000 -22.000000 13.000000 "
expect_line "CAM1: 12.500000 0.000000 -33.000000 17.000000 4.000000 -2.000000 255 255 0 40.000000 "

if ((${#failures[@]})); then
  echo "${#failures[@]} failure(s); screen grabs in $shots"
  exit 1
fi
echo "passed; screen grabs in $shots"
