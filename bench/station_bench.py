#!/usr/bin/env python3
"""A station of SLOTS slots on a fleet of paced simulated units, ROUNDS units per slot: the
operator's part (take a unit out once it is PASS, put the next in once the slot waits) done at
once. With `instant`, the next unit goes in the moment the last one is out: a swap the slot only
sees as the new unit's power-up. Prints "units wall_s cpu_s one_unit_s": units loaded, the
station's wall time, its CPU time (the station and every run it started) and one unit's download
and version check alone, recorded as the station's runs are.

    station_bench.py CLI SIM WORKDIR IMAGE SLOTS ROUNDS BAUD [instant]
"""
import hashlib, json, os, resource, subprocess, sys, threading, time

cli, sim, work, image, slots, rounds, baud = sys.argv[1:8]
instant = sys.argv[8:9] == ["instant"]
slots, rounds = int(slots), int(rounds)
fixture = os.path.join(work, "fixture")
control = subprocess.Popen([sim, "--fleet", str(slots), "--dir", fixture, "--absent", "--control", "--pace",
                            "--baud", baud], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
try:
    for _ in range(slots):
        control.stdout.readline()

    def command(line):
        control.stdin.write(line + "\n")
        control.stdin.flush()
        control.stdout.readline()

    # One unit alone: the yardstick, recorded as every run of the station is (a user's run records too).
    command("connect 1")
    start = time.monotonic()
    for args in (["download", image], ["version"]):
        subprocess.run([cli, *args, "--port", os.path.join(fixture, "unit1"), "--baud", baud, "--quiet",
                        "--records", os.path.join(work, "one.sqlite")], stdout=subprocess.DEVNULL, check=True)
    one = time.monotonic() - start
    command("remove 1")
    time.sleep(0.5)

    sha = hashlib.sha256(open(image, "rb").read()).hexdigest()
    job = os.path.join(work, "bench-station.toml")
    with open(job, "w") as f:
        f.write(f'name = "bench"\nimage = "{image}"\nimage_sha256 = "{sha}"\n'
                f'expect_version = "SIM-UNIT 2.07"\nbaud = {baud}\nquota = {slots * rounds}\n')
        for i in range(1, slots + 1):
            f.write(f'[[slot]]\nname = "S{i}"\nport = "{os.path.join(fixture, f"unit{i}")}"\n')
    usage0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    station = subprocess.Popen([cli, "station", job, "--json", "--records", os.path.join(work, "bench.sqlite")],
                               stdout=subprocess.PIPE, text=True)
    put = {i: 0 for i in range(1, slots + 1)}
    passes = 0
    # Bounded: a station that stops handing out verdicts is killed, and the bench fails.
    watchdog = threading.Timer(60 + 30 * rounds * one, station.kill)
    watchdog.start()
    for line in station.stdout:
        e = json.loads(line)
        if e["event"] != "slot_state":
            continue
        n = int(e["slot"][1:])
        # With instant swaps a slot may show WAITING for a moment while the units change places:
        # the next unit is already in, so only the first one goes in on WAITING.
        if e["state"] == "waiting" and put[n] < rounds and (not instant or put[n] == 0):
            put[n] += 1
            command(f"connect {n}")
        elif e["state"] in ("pass", "fail"):
            passes += e["state"] == "pass"
            command(f"remove {n}")
            if instant and put[n] < rounds:
                put[n] += 1
                command(f"connect {n}")
    code = station.wait()
    watchdog.cancel()
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (usage.ru_utime - usage0.ru_utime) + (usage.ru_stime - usage0.ru_stime)
    if code != 0 or passes != slots * rounds:
        sys.exit(f"station_bench: exit code {code}, {passes} passes")
    print(f"{passes} {wall:.3f} {cpu:.3f} {one:.3f}")
finally:
    control.stdin.close()
    control.terminate()
    control.wait(timeout=10)
