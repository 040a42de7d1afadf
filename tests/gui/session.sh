# What the window tests share: a private X server with a window manager,
# bounded waits, failures collected, and real X input at the Kestrova
# window's controls. Sourced by a test after it has set `shots` (where the
# screen grabs go); it sets `work` (a scratch directory, removed at exit).
#
#   start_x_session            Xvfb (1024 x 768, the smallest screen the windows are laid
#                              out for) + openbox, DISPLAY exported
#   start_kestrova ARGS...     the program (`kestrova`) in $work/run, with the environment
#                              in `program_env` (VAR=value ...), sets `pid`
#   find_kestrova_window       sets `window` and its geometry, for click_control
#   click_control NAME         clicks a control of the Kestrova window (see `control`)
#   enter_value NAME TEXT      replaces a field's text and presses Enter
#   read_field NAME            prints a field's text, copied as an operator would
#   finish                     the verdict: exit 1 after any failure

rm -f "$shots"/*.png
work=$(mktemp -d)
pids=()
failures=()
gui=$(dirname "${BASH_SOURCE[0]}")
screen_width=1024
screen_height=768

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
  Xvfb -displayfd 3 -screen 0 "${screen_width}x${screen_height}x24" -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
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
preview_window() { xdotool search --onlyvisible --name '^Preview$' | head -n1; }
titled_kestrova() { windows_named Kestrova; }
kestrova_windows_are() { [ "$(titled_kestrova)" -eq "$1" ]; }
running() { kill -0 "$pid" 2>/dev/null; }

# A window's drawing area on the screen: x y width height.
client_geometry() {
  xwininfo -id "$1" |
    awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}'
}
# The window manager's frame around it: x y width height.
frame_geometry() { client_geometry "$(xwininfo -id "$1" -tree | awk '/Parent window id/{print $4}')"; }

# start_kestrova ARGS...: the program in $work/run, its output in $work/log;
# waits for its two windows and finds the Kestrova window.
start_kestrova() {
  mkdir -p "$work/run"
  (cd "$work/run" && exec env ${program_env:-} "$kestrova" "$@") >"$work/log" 2>&1 &
  pid=$!
  pids+=($pid)
  wait_for 30 previews_are 1 && wait_for 10 kestrova_windows_are 1 ||
    fatal "the Kestrova and Preview windows did not open: $(tail -n 5 "$work/log")"
  find_kestrova_window
}

find_kestrova_window() {
  window=$(xdotool search --onlyvisible --name '^Kestrova$' | head -n1)
  read -r wx wy ww wh < <(client_geometry "$window")
}

# The controls of the Kestrova window in its dialog units (211 x 391 of them
# span its client area): x y width height.
declare -A control=(
  [calibration]="112 7 50 14" [set]="166 7 36 14" [camera1]="54 27 19 10" [preview]="166 25 36 14"
  [cameraHint]="12 39 190 10"
  [cameraId]="52 64 28 12" [maxDepth]="154 64 44 12" [x]="52 83 44 12" [rx]="154 83 44 12"
  [y]="52 102 44 12" [ry]="154 102 44 12" [z]="52 121 44 12" [rz]="154 121 44 12"
  [align]="148 141 50 14"
  [xMin]="52 189 44 12" [xMax]="154 189 44 12" [yMin]="52 208 44 12" [yMax]="154 208 44 12"
  [zMin]="52 227 44 12" [zMax]="154 227 44 12"
  [resolution]="132 253 60 14" [maxMinutes]="132 271 60 14"
  [outputDir]="72 289 90 14"  # its text, not its browse button
  [record]="18 322 18 18" [stop]="48 322 18 18" [recordingMark]="70 327 34 10" [time]="132 324 60 14"
  [keepDepth]="12 355 60 10"
)
# control_rect NAME: the control's rectangle on the screen: x y width height.
control_rect() {
  local x y w h
  read -r x y w h <<<"${control[$1]}"
  echo $((wx + x * ww / 211)) $((wy + y * wh / 391)) $((w * ww / 211)) $((h * wh / 391))
}
click_control() {
  local x y w h
  read -r x y w h < <(control_rect "$1")
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
  sleep 0.2
}
enter_value() {  # NAME TEXT: click the field, replace its text, Enter
  click_control "$1"
  xdotool key ctrl+a
  xdotool type --delay 10 -- "$2"
  xdotool key Return
  sleep 0.3
}
# The text of the focused window's selection, copied with Ctrl+C.
copied() {
  printf '' | xclip -selection clipboard >/dev/null 2>&1  # it stays to serve the selection: not on our pipe
  xdotool key ctrl+c
  # A busy machine may take a while to pass it on: up to 3 s.
  local text="" i
  for ((i = 0; i < 30; i++)); do
    sleep 0.1
    text=$(xclip -o -selection clipboard 2>/dev/null)
    [ -n "$text" ] && break
  done
  printf '%s\n' "$text"
}
read_field() {  # NAME
  click_control "$1"
  xdotool key ctrl+a
  copied
}
# Grabs a control of the Kestrova window: grab_control NAME FILE.
grab_control() {
  local x y w h
  read -r x y w h < <(control_rect "$1")
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$2"
}
# Clicks the close box of a top-level window, in the window manager's frame.
click_close_box() {
  local fx fy fw fh
  read -r fx fy fw fh < <(frame_geometry "$1")
  xdotool mousemove $((fx + fw - 11)) $((fy + 9)) click 1
}
park_pointer() { xdotool mousemove $((screen_width - 5)) $((screen_height - 5)); }
# grab_preview NAME COUNT: COUNT grabs of the Preview, untouched; echoes how
# many differ from the one before.
grab_preview() {
  local preview changed=0 last="" i sign
  preview=$(preview_window)
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
