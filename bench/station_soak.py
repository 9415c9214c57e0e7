#!/usr/bin/env python3
"""A station soak: SLOTS slots on a fleet of paced simulated units that come and go at random,
with random faults, until UNITS units have been put in. Each unit's fate is chosen when it is put
in, so the script knows what must become of it:

    good       a healthy unit                               -> PASS
    noisy      a bad check code every 5th reply             -> PASS, or a failed run (no false PASS)
    wrong      reports "SIM-UNIT 2.06"                      -> FAIL version mismatch
    erase      an erase that never ends                     -> FAIL F3
    pulled     taken out during its download                -> FAIL unit removed

and half the swaps are instant (the next unit in the moment the last is out). When the slot says it
cannot tell the unit in it from the one it judged (an unreadable answer), the unit is put in again,
as the alarm asks. The station's
`unit_end` events and the records file are then held against that: false PASS, wrong reasons,
lost arrivals, attempts without a record. Prints the counts, and the station's open fds and RSS
at the start and the end; exit 1 when anything disagrees.

    station_soak.py CLI SIM WORKDIR IMAGE UNITS SLOTS BAUD SEED
"""
import collections, hashlib, json, os, random, signal, sqlite3, subprocess, sys, threading, time

cli, sim, work, image, units, slots, baud, seed = sys.argv[1:9]
units, slots, seed = int(units), int(slots), int(seed)
rng = random.Random(seed)
fixture = os.path.join(work, "fixture")
records = os.path.join(work, "soak.sqlite")
FATES = [("good", 60), ("noisy", 10), ("wrong", 10), ("erase", 5), ("pulled", 15)]
OPTIONS = {"good": "", "noisy": " --bad-crc-every 5", "wrong": ' --version-text "SIM-UNIT 2.06"',
           "erase": " --busy-erase", "pulled": ""}
EXPECTED = {"good": "pass", "noisy": "pass", "wrong": "wrong version", "erase": "run failed F3", "pulled": "removed"}


def proc_figures(pid):
    """Open fds and RSS (KiB) of a running process; None once it is ending."""
    try:
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        rss = next((int(l.split()[1]) for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS:")), None)
    except OSError:
        return None
    return None if rss is None else (fds, rss)


# Stopped from outside, it still ends the station and the units (the finally below).
signal.signal(signal.SIGTERM, lambda *_: sys.exit("station_soak: stopped"))
control = subprocess.Popen([sim, "--fleet", str(slots), "--dir", fixture, "--absent", "--control", "--pace",
                            "--baud", baud], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
lock = threading.Lock()
station = None
try:
    for _ in range(slots):
        control.stdout.readline()

    def command(line):
        if line.split()[0] in ("connect", "remove"):
            history[int(line.split()[1])].append((round(time.monotonic() - start, 2), "> " + line))
        with lock:
            control.stdin.write(line + "\n")
            control.stdin.flush()
            answer = control.stdout.readline()
        if answer.startswith("error"):
            sys.exit(f"station_soak: unit-sim refused {line!r}: {answer.strip()}")

    sha = hashlib.sha256(open(image, "rb").read()).hexdigest()
    job = os.path.join(work, "soak.toml")
    with open(job, "w") as f:
        f.write(f'name = "soak"\nimage = "{image}"\nimage_sha256 = "{sha}"\n'
                f'expect_version = "SIM-UNIT 2.07"\nbaud = {baud}\nretries = 1\nstop_after_failures = 0\n')
        for i in range(1, slots + 1):
            f.write(f'[[slot]]\nname = "S{i}"\nport = "{os.path.join(fixture, f"unit{i}")}"\n')

    put_in = 0
    reseated = 0  # units put in again after the slot could not tell them from the one before
    fates = collections.defaultdict(list)  # slot -> the fate of every unit put in, in order
    present = {i: False for i in range(1, slots + 1)}
    state = {i: "" for i in range(1, slots + 1)}
    timers = []

    def put(n):
        global put_in
        if put_in >= units:
            return
        put_in += 1
        fate = rng.choices([f for f, _ in FATES], weights=[w for _, w in FATES])[0]
        fates[n].append(fate)
        present[n] = True
        command(f"connect {n}{OPTIONS[fate]}")

    station = subprocess.Popen([cli, "station", job, "--json", "--records", records], stdout=subprocess.PIPE,
                               text=True)
    # A unit the station never ends would leave the loop waiting for ever: a minute without a run
    # or a verdict ends the station, and what is missing is counted as lost.
    last_event = [time.monotonic()]

    def watchdog():
        while station.poll() is None:
            time.sleep(1)
            if time.monotonic() - last_event[0] > 60:
                station.send_signal(signal.SIGTERM)
                return

    threading.Thread(target=watchdog, daemon=True).start()
    start = time.monotonic()
    first = None
    seen = collections.defaultdict(list)  # slot -> (pass, reason) of every unit_end
    history = collections.defaultdict(lambda: collections.deque(maxlen=12))  # slot -> its last events
    for line in station.stdout:
        e = json.loads(line)
        n = int(e.get("slot", "S0")[1:])
        history[n].append((round(time.monotonic() - start, 2), line.strip()))
        if first is None and e["event"] == "attempt_start":
            first = proc_figures(station.pid)
        if e["event"] == "slot_state":
            state[n] = e["state"]
        if e["event"] == "slot_state" and e["state"] == "waiting" and not present[n]:
            put(n)
        elif (e["event"] == "attempt_start" and e["kind"] == "download" and e["attempt"] == 1
              and fates[n] and fates[n][-1] == "pulled"):
            # Out somewhere in its download (16 KiB paced at 38400 takes about 5 s).
            t = threading.Timer(rng.uniform(0.3, 2.5), lambda k=n: command(f"remove {k}"))
            timers.append(t)
            t.start()
        elif (e["event"] == "alarm" and "cannot be told" in e["text"] and present[n] and fates[n][-1] != "pulled"
              and len(fates[n]) > len(seen[n])):
            # The operator's answer: the unit not yet loaded goes in again, and powers up.
            reseated += 1
            command(f"remove {n}")
            command(f"connect {n}{OPTIONS[fates[n][-1]]}")
        elif e["event"] == "unit_end":
            seen[n].append(e)
            if present[n] and fates[n][-1] != "pulled":
                command(f"remove {n}")
            present[n] = False
            # An instant swap; or the slot has shown it waits already (a pulled unit's slot may
            # say so before its verdict comes).
            if rng.random() < 0.5 or state[n] == "waiting":
                put(n)
        if e["event"] != "slot_state":
            last_event[0] = time.monotonic()  # a state may flicker for ever; a run or a verdict is progress
        if put_in >= units and sum(len(v) for v in seen.values()) >= units:
            break
    last = proc_figures(station.pid) or first
    station.send_signal(signal.SIGTERM)
    code = station.wait(timeout=60)
    wall = time.monotonic() - start
    for t in timers:
        t.cancel()

    # The station's verdicts against what was put in, slot by slot and in order.
    by_reason = collections.Counter()
    false_pass = wrong_reason = 0
    lost = idle = 0
    for n in range(1, slots + 1):
        quiet = wall - (history[n][-1][0] if history[n] else 0)
        if not present[n] and quiet > 30:
            idle += 1
            print(f"  S{n}: idle for the last {quiet:.0f} s, no unit put in; its last events:", file=sys.stderr)
            for at, text in history[n]:
                print(f"    {at} {text}", file=sys.stderr)
        if len(fates[n]) > len(seen[n]):
            lost += len(fates[n]) - len(seen[n])
            print(f"  S{n}: put in {fates[n][len(seen[n]):]} without a verdict; its last events:", file=sys.stderr)
            for at, text in history[n]:
                print(f"    {at} {text}", file=sys.stderr)
        for fate, e in zip(fates[n], seen[n]):
            got = e["verdict"] if e["verdict"] != "fail" else e["reason"]
            if got == "run failed":
                got += " " + e["outcome"]
            by_reason[got] += 1
            if got == "pass" and EXPECTED[fate] != "pass":
                false_pass += 1
            elif got != EXPECTED[fate] and not (fate == "noisy" and got.startswith("run failed")):
                wrong_reason += 1
                print(f"  S{n}: a {fate} unit ended {got!r} ({e.get('why', '')})", file=sys.stderr)

    # The records: every attempt the station saw has its record, every unit its verdict.
    db = sqlite3.connect(f"file:{records}?mode=ro", uri=True)
    attempts = db.execute("SELECT count(*) FROM attempts").fetchone()[0]
    verdicts = db.execute("SELECT count(*) FROM attempts WHERE kind = 'unit'").fetchone()[0]
    shown = sum(len(v) for v in seen.values())
    missing_verdicts = shown - verdicts
    unsealed = db.execute("SELECT count(*) FROM attempts WHERE outcome IS NULL OR outcome = ''").fetchone()[0]

    print(f"units put in {put_in}, verdicts shown {shown}, wall {wall:.0f} s, station exit {code}")
    print("verdicts by reason: " + ", ".join(f"{k} {v}" for k, v in sorted(by_reason.items())))
    print(f"false PASS {false_pass}, wrong reason {wrong_reason}, lost arrivals {lost}, slots left idle {idle}, "
          f"units put in again on the alarm of an unreadable answer {reseated}")
    print(f"records: {attempts} attempts and verdicts ({unsealed} never ended), {verdicts} unit verdicts, "
          f"{missing_verdicts} missing")
    print(f"station fds {first[0]} -> {last[0]}, RSS {first[1]} -> {last[1]} KiB")
    bad = false_pass or wrong_reason or lost or idle or unsealed or missing_verdicts or code != 130
    sys.exit(1 if bad else 0)
finally:
    if station and station.poll() is None:
        station.kill()
        station.wait()
    control.stdin.close()
    control.terminate()
    control.wait(timeout=10)
