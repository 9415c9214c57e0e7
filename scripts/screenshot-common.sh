# Shared by the picture scripts (window-screenshot.sh, station-screenshot.sh); sourced, with
# `root` set. Finds or builds the programs, waits with a bound, starts a virtual display with a
# window manager and makes the sample image.
#
# UL_DEMO_BUILD_DIR=DIR uses the programs already built in DIR: no install, no build.

if [[ -n ${UL_DEMO_BUILD_DIR:-} ]]; then
  build=$UL_DEMO_BUILD_DIR
else
  build=$root/build-demo
  "$root/scripts/install-deps.sh" window
  extra=(xvfb xauth xdotool imagemagick fonts-liberation openbox)
  missing=()
  for p in "${extra[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing for the screenshot: ${missing[*]}"
    sudo=""; [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
  echo "== Building unit-loader, unit-loader-cli and unit-sim in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target unit-loader unit-loader-cli unit-sim >/dev/null
fi
loader=$build/loader/window/unit-loader
cli=$build/tools/unit-loader-cli/unit-loader-cli
sim=$build/tools/unit-sim/unit-sim

# Waits up to $1 seconds for the command after it to succeed. By the clock: a look at the
# records costs time of its own.
within() {
  local deadline=$(($(date +%s%N) + $1 * 1000000000)); shift
  while (($(date +%s%N) < deadline)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "$(basename "$0"): gave up waiting for: $*" >&2
  return 1
}

# start_display WxH: Xvfb and openbox, their pids added to `pids`, DISPLAY exported; the
# display's number goes through $work/display.
start_display() {
  echo "== A virtual display with a window manager"
  Xvfb -displayfd 5 -screen 0 "$1x24" -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
  pids+=($!)
  within 10 test -s "$work/display"
  export DISPLAY=:$(cat "$work/display")
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  within 10 xdotool search --class openbox
}

# make_demo_image OUT: 40 blocks of data, 30 blank ones (all 0xFF), 60 more of data, sealed.
make_demo_image() {
  {
    head -c $((246 * 40)) < <(yes "Unit Loader demo image, not firmware for any unit.")
    head -c $((246 * 30)) /dev/zero | tr '\0' '\377'
    head -c $((246 * 60 - 100)) < <(yes "Passed-over blocks cost no time on the line.")
  } >"$work/body.bin"
  "$cli" seal "$work/body.bin" "$1" >/dev/null
}
