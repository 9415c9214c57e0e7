# Sourced by scripts/test-windows.sh last: two simulated units, on COM1 and COM2, loaded at once
# by the Windows unit-loader-cli with two --port values (a process per unit). Uses that script's
# prefix, $sim, $work, $cli_dir, $com1, $work/image.bin, $file_crc, wine_run, cli, check, say and
# fail; it restarts the wineserver (to map COM2) and leaves it in $server_pid for the cleanup.
# Checks: exit code 0, both units verified and holding the file, both in the summary table, no
# unit-loader-cli process of this prefix left, no px417.*.dll left. Then the parent is killed in
# the middle of a download: the units' processes end too.
#
# No Ctrl-C test: under Wine here (32-bit, user-mode QEMU) a Ctrl-C typed into a terminal (tmux)
# fails the Wine client itself ("wine client error: partial write") even for a one-port run.

several_com2=$work/com2
several_pids=()
several_stop_sims() {  # prints each unit's summary into $work/several.N.summary
  local i
  for i in "${!several_pids[@]}"; do
    kill -TERM "${several_pids[$i]}" 2>/dev/null || true
  done
  for i in "${!several_pids[@]}"; do
    for _ in $(seq 100); do kill -0 "${several_pids[$i]}" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "${several_pids[$i]}" 2>/dev/null || true
    wait "${several_pids[$i]}" 2>/dev/null || true
  done
  several_pids=()
}
several_start_sims() {  # SIM-ARGS...: both units, linked where COM1 and COM2 lead
  local i link
  for i in 1 2; do
    link=$com1
    ((i == 2)) && link=$several_com2
    rm -f "$work/several.$i.out" "$work/several.$i.image"
    "$sim" --link "$link" --image-out "$work/several.$i.image" "$@" >"$work/several.$i.out" &
    several_pids+=($!)
  done
  for i in 1 2; do
    link=$com1
    ((i == 2)) && link=$several_com2
    for _ in $(seq 100); do [[ -s $work/several.$i.out && -L $link ]] && break; sleep 0.1; done
    [[ -L $link && $(readlink "$link") == "$(head -1 "$work/several.$i.out")" ]] ||
      fail "the simulated unit $i did not start on $link"
  done
}
# Processes of this prefix still running the command-line loader (other prefixes on this machine
# are none of this test's business).
several_left() {
  local pid
  for pid in $(pgrep -f 'unit-loader-cli\.exe' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}

# COM2 joins the mapping; the wineserver reads it when it starts, with both links in place.
wine_run 120 reg add 'HKLM\Software\Wine\Ports' /v COM2 /t REG_SZ /d "$several_com2" /f >/dev/null 2>&1 ||
  fail "cannot map COM2"
timeout 30 wineserver -k 2>/dev/null || true
[[ -z $server_pid ]] || wait "$server_pid" 2>/dev/null || true
several_start_sims --reset-polls 0 --enabled-polls 2
timeout 3600 wineserver -f -p 600 >>"$work/wineserver.log" 2>&1 &
server_pid=$!
wine_run 120 reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || fail "Wine does not start again"
for _ in $(seq 100); do [[ -L $WINEPREFIX/dosdevices/com2 ]] && break; sleep 0.1; done
for n in 1 2; do
  link=$com1
  ((n == 2)) && link=$several_com2
  mapped=$(readlink "$WINEPREFIX/dosdevices/com$n" || true)
  [[ $mapped == "$link" ]] || fail "COM$n leads to '$mapped', not to the simulated unit's link $link"
done
say "COM1 is $com1, COM2 is $several_com2"

several_download() {
  cp "$work/image.bin" "$cli_dir/image.bin" || return 1
  local status=0
  cli 600 download image.bin --port COM1 --port COM2 --baud 38400 >"$work/several.log" || status=$?
  rm -f "$cli_dir/image.bin"
  cat "$work/several.log"
  ((status == 0)) || { echo "exit code $status, not 0"; return 1; }
  # The table: a line per unit, success with the file's CRC and every block.
  local port
  for port in COM1 COM2; do
    grep -qE "^$port +0 +success +[0-9A-F]{4} +$file_crc +([0-9]+)/\1 " "$work/several.log" ||
      { echo "no line 'success' with file CRC $file_crc and every block for $port in the table"; return 1; }
  done
  local left
  left=$(several_left)
  [[ -z $left ]] || { echo "unit-loader-cli processes left: $left"; return 1; }
  if compgen -G "$cli_dir/px417.*.dll" >/dev/null; then
    echo "library left behind: $(ls "$cli_dir"/px417.*.dll)"
    return 1
  fi
}
check "unit-loader-cli loads two units at once (COM1, COM2)" several_download
several_stop_sims
for n in 1 2; do
  cat "$work/several.$n.out"
  grep -q "verify result: D3 00" "$work/several.$n.out" &&
    cmp -s "$work/image.bin" "$work/several.$n.image" ||
    { say "FAIL the simulated unit on COM$n does not hold the file"; failures=$((failures + 1)); }
done

# The parent killed while both units take blocks (half a second each): nothing reaps the units'
# processes or passes a stop on, so they must end by themselves (their standard input ends, and
# their next progress line finds no reader), leaving no process behind.
several_start_sims --pace --block-ms 500
several_orphans() {
  cp "$work/image.bin" "$cli_dir/image.bin" || return 1
  (cd "$cli_dir" && exec timeout --kill-after=10 300 wine unit-loader-cli.exe download image.bin --port COM1 \
    --port COM2 --baud 38400 >"$work/several.log" 2>&1) &
  local parent=$! taking=""
  for _ in $(seq 600); do
    grep -qE "^COM1 +[1-9]/10" "$work/several.log" && grep -qE "^COM2 +[1-9]/10" "$work/several.log" &&
      taking=yes && break
    kill -0 "$parent" 2>/dev/null || break
    sleep 0.1
  done
  # timeout execs nothing: the loader is its only child.
  local loader
  loader=$(pgrep -P "$parent" -f 'unit-loader-cli\.exe' || true)
  [[ -n $taking && -n $loader ]] || { tr -d '\r' <"$work/several.log"; echo "the units did not start taking blocks"; }
  [[ -n $loader ]] && kill -KILL "$loader"
  wait "$parent" 2>/dev/null || true
  local left=""
  for _ in $(seq 300); do
    left=$(several_left)
    [[ -z $left ]] && break
    sleep 0.1
  done
  rm -f "$cli_dir/image.bin" "$cli_dir"/px417.*.dll  # the killed parent could not delete its copy
  [[ -n $taking && -z $left ]] || { echo "units' processes left 30 s after their parent was killed: $left"; return 1; }
}
check "units' processes end when their parent is killed" several_orphans
several_stop_sims
