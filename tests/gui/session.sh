# What the window tests share: a private X server with a window manager,
# bounded waits, failures collected, and real X input at the Kestrova
# window's controls. Sourced by a test after it has set `shots` (where the
# screen grabs go); it sets `work` (a scratch directory, removed at exit).
#
#   start_x_session            Xvfb + openbox, DISPLAY exported
#   start_kestrova ARGS...     the program (`kestrova`) in $work/run, sets `pid`
#   find_kestrova_window       sets `window` and its geometry, for click_control
#   finish                     the verdict: exit 1 after any failure

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

start_x_session() {
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  pids+=($!)
  wait_for 10 test -s "$work/display" || fatal "Xvfb did not start"
  export DISPLAY=":$(head -n1 "$work/display")"
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' ||
    fatal "openbox did not start"
}

# Visible top-level windows with exactly this title.
windows_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | wc -l; }
previews() { windows_named Preview; }
previews_are() { [ "$(previews)" -eq "$1" ]; }
titled_kestrova() { windows_named Kestrova; }
kestrova_windows_are() { [ "$(titled_kestrova)" -eq "$1" ]; }
running() { kill -0 "$pid" 2>/dev/null; }

# start_kestrova ARGS...: the program in $work/run, its output in $work/log;
# waits for its two windows and finds the Kestrova window.
start_kestrova() {
  mkdir -p "$work/run"
  (cd "$work/run" && exec "$kestrova" "$@") >"$work/log" 2>&1 &
  pid=$!
  pids+=($pid)
  wait_for 30 previews_are 1 && wait_for 10 kestrova_windows_are 1 ||
    fatal "the Kestrova and Preview windows did not open: $(tail -n 5 "$work/log")"
  find_kestrova_window
}

# Control positions come from the window's dialog units: 211 x 463 of them
# span its client area.
find_kestrova_window() {
  window=$(xdotool search --onlyvisible --name '^Kestrova$' | head -n1)
  read -r wx wy ww wh < <(xwininfo -id "$window" |
    awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}')
}
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
# Ends the program by its window's close box; it must exit with status 0.
close_kestrova() {
  click_close_box "$window"
  wait_for 20 sh -c "! kill -0 $pid 2>/dev/null" || fatal "the program did not end after its window closed"
  wait "$pid"
  local status=$?
  [ "$status" -eq 0 ] || fail "the program ended with status $status: $(tail -n 5 "$work/log")"
}
finish() {
  if ((${#failures[@]})); then
    echo "${#failures[@]} failure(s); screen grabs in $shots"
    exit 1
  fi
  echo "passed; screen grabs in $shots"
}
