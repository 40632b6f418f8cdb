#!/usr/bin/env python3
"""quillmoth-headless under a service manager of the test's own, receiving a
capture through the reader: READY=1 once reception started (never when it
cannot start), STATUS= with the counters, WATCHDOG=1 every half WATCHDOG_USEC
and none once the packet intake is stuck, STOPPING=1 last; an abstract socket
name works too. Usage: headless_notify.py BIN_DIR BROADCAST SAMPLES WORK"""
import glob, os, shutil, socket, subprocess, sys, time

bin_dir, broadcast, samples, work = (os.path.abspath(a) for a in sys.argv[1:5])
files = sorted(glob.glob(os.path.join(samples, "files", "*")))
path = os.path.join(work, "notify.sock")


def check(good, text, messages):
    if not good:
        sys.exit("FAIL: %s: %s" % (text, [m[:24] for _, m in messages]))
    print("ok: " + text)


def run(case, capture, name=path, env=None, stuck_for=None, rate_kbps=0):
    folder = os.path.join(work, case)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "tmp"))
    os.makedirs(os.path.join(folder, "ok"))
    shutil.copy(os.path.join(samples, "filters.qmf"), folder)
    with open(os.path.join(samples, "config.ini"), "rb") as f:  # stuck: the log into a pipe nobody reads
        config = f.read().replace(b"use_log = 1", b"use_log = 0" if stuck_for else b"use_log = 1")
    with open(os.path.join(folder, "config.ini"), "wb") as f:
        f.write(config)
    with open(os.path.join(folder, "streamreader.ini"), "w") as f:
        f.write("capture = %s\r\nrate_kbps = %d\r\n" % (capture, rate_kbps))
    if os.path.exists(path):
        os.unlink(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind("\0" + name[1:] if name[0] == "@" else name)
    listener.settimeout(0.2)
    idle = "30" if stuck_for else "3"  # a stuck intake looks idle too
    receiver = subprocess.Popen([os.path.join(bin_dir, "quillmoth-headless"), "--exit-when-idle", idle], cwd=folder,
                                env=dict(os.environ, NOTIFY_SOCKET=name, WATCHDOG_USEC="1000000", **(env or {})),
                                stdout=subprocess.PIPE if stuck_for else subprocess.DEVNULL, stderr=subprocess.STDOUT)
    messages, end = [], time.monotonic() + (stuck_for or 1e9)
    while time.monotonic() < end:
        try:
            messages.append((time.monotonic(), listener.recv(4096).decode()))
        except socket.timeout:
            if receiver.poll() is not None:
                break
    receiver.kill()
    listener.close()
    return messages, receiver.wait(), [m for _, m in messages]


os.makedirs(work, exist_ok=True)
capture = os.path.join(work, "sample.ts")
subprocess.run([broadcast, "--interleave", "-o", capture] + files, check=True, capture_output=True)

messages, code, texts = run("received", capture)
check(code == 0 and texts[:1] == ["READY=1"] and texts[-1:] == ["STOPPING=1"], "READY=1 first, STOPPING=1 last",
      messages)
status = [t for t in texts if t.startswith("STATUS=")]
check(len(status) >= 2 and "Всего:" in status[0] and "сохранено %d" % len(files) in status[-1],
      "STATUS= lines carry the counters", messages)
pings = [at for at, t in messages if t == "WATCHDOG=1"]
gaps = [b - a for a, b in zip(pings, pings[1:])]
check(len(pings) >= 5 and 0.45 < sum(gaps) / len(gaps) < 0.75 and max(gaps) < 1.0,
      "WATCHDOG=1 every half second, never a whole one apart", messages)

messages, code, texts = run("another_pid", capture, "@quillmoth-notify-%d" % os.getpid(), {"WATCHDOG_PID": "1"})
check("READY=1" in texts and "WATCHDOG=1" not in texts, "an abstract name; no WATCHDOG=1 for another process's",
      messages)

messages, code, texts = run("no_capture", os.path.join(work, "missing.ts"))
check(code != 0 and "READY=1" not in texts, "no READY=1 when reception does not start", messages)

# A second of good packets, 5000 a second, so that the receiver is up before
# anything can block it; then every packet a gap in its counter, and every gap
# a log line into a pipe that fills within a second: the intake stops inside
# the core while the main loop goes on.
with open(capture, "wb") as ts:
    for i in range(45000):
        ts.write(bytes([0x47, 0x01, 0x00, 0x10 | (i if i < 5000 else i * 2) % 16]) + b"\xff" * 184)
messages, code, texts = run("stuck", capture, stuck_for=8, rate_kbps=7520)
late = [t for at, t in messages if messages and at > messages[0][0] + 5]
check(texts[:1] == ["READY=1"] and "WATCHDOG=1" not in late and any(t.startswith("STATUS=") for t in late),
      "no WATCHDOG=1 while the intake is stuck, STATUS= goes on", messages)
