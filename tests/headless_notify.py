#!/usr/bin/env python3
"""quillmoth-headless under a service manager of the test's own: the sample
files from a capture through the reader, with NOTIFY_SOCKET and WATCHDOG_USEC
set. READY=1 comes once reception started (never when it cannot start),
STATUS= carries the counters, WATCHDOG=1 every half WATCHDOG_USEC and none
once the packet intake is stuck, STOPPING=1 last; an abstract socket name is
reached too.

Usage: headless_notify.py BIN_DIR BROADCAST SAMPLES WORK"""
import glob, os, shutil, socket, subprocess, sys, time

bin_dir, broadcast, samples, work = (os.path.abspath(a) for a in sys.argv[1:5])
files = sorted(glob.glob(os.path.join(samples, "files", "*")))


def fail(text):
    sys.exit("FAIL: " + text)


def run(case, capture, socket_name, env_extra=None, stuck_for=None):
    folder = os.path.join(work, case)
    shutil.rmtree(folder, ignore_errors=True)
    for d in ("tmp", "ok"):
        os.makedirs(os.path.join(folder, d))
    for f in ("config.ini", "filters.qmf"):
        shutil.copy(os.path.join(samples, f), folder)
    with open(os.path.join(folder, "streamreader.ini"), "w") as ini:
        ini.write("capture = %s\r\nrate_kbps = 0\r\n" % capture)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(socket_name.replace("@", "\0", 1) if socket_name[0] == "@" else socket_name)
    listener.settimeout(0.2)
    env = dict(os.environ, NOTIFY_SOCKET=socket_name, WATCHDOG_USEC="1000000", **(env_extra or {}))
    if stuck_for:  # the log to standard output, a pipe nobody reads
        config = os.path.join(folder, "config.ini")
        with open(config, "rb") as f:
            text = f.read().replace(b"use_log = 1", b"use_log = 0")
        with open(config, "wb") as f:
            f.write(text)
    with open(os.path.join(folder, "output.txt"), "w") as out:
        receiver = subprocess.Popen([os.path.join(bin_dir, "quillmoth-headless"), "--exit-when-idle", "3"],
                                    cwd=folder, env=env, stdout=subprocess.PIPE if stuck_for else out,
                                    stderr=subprocess.STDOUT)
    messages, end = [], time.monotonic() + (stuck_for or 1e9)
    while time.monotonic() < end:
        try:
            messages.append((time.monotonic(), listener.recv(4096).decode()))
        except socket.timeout:
            if receiver.poll() is not None:
                break
    if stuck_for:
        receiver.kill()
        receiver.wait()
    listener.close()
    return messages, receiver.returncode


os.makedirs(work, exist_ok=True)
capture = os.path.join(work, "sample.ts")
subprocess.run([broadcast, "--interleave", "-o", capture] + files, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
path = os.path.join(work, "notify.sock")
if os.path.exists(path):
    os.unlink(path)

messages, code = run("received", capture, path)
texts = [m for _, m in messages]
if code != 0 or not texts or texts[0] != "READY=1" or texts[-1] != "STOPPING=1":
    fail("exit %s; READY=1 first and STOPPING=1 last: %s" % (code, texts))
status = [t for t in texts if t.startswith("STATUS=")]
if len(status) < 2 or "Всего:" not in status[0] or "сохранено %d" % len(files) not in status[-1]:
    fail("STATUS= lines without the counters: %s" % status)
pings = [at for at, t in messages if t == "WATCHDOG=1"]
gaps = [b - a for a, b in zip(pings, pings[1:])]
# Every half WATCHDOG_USEC on average, and never a whole one apart.
if len(pings) < 5 or not 0.45 < sum(gaps) / len(gaps) < 0.75 or max(gaps) >= 1.0:
    fail("WATCHDOG=1 not every 0.5 s: %s" % ["%.2f" % g for g in gaps])
print("ok: READY=1, %d STATUS= lines ending with %d saved, WATCHDOG=1 every 0.5 s, STOPPING=1"
      % (len(status), len(files)))

messages, code = run("another_pid", capture, "@quillmoth-notify-%d" % os.getpid(), {"WATCHDOG_PID": "1"})
texts = [m for _, m in messages]
if "READY=1" not in texts or "WATCHDOG=1" in texts:
    fail("abstract socket, watchdog of another process: %s" % texts)
print("ok: an abstract socket name; no WATCHDOG=1 when WATCHDOG_PID is another process's")

os.unlink(path)
messages, code = run("no_capture", os.path.join(work, "missing.ts"), path)
texts = [m for _, m in messages]
if code == 0 or "READY=1" in texts:
    fail("reception never started, yet exit %s and %s" % (code, texts))
print("ok: no READY=1 when reception does not start")

# Every packet a gap in its counter, and every gap a log line into a pipe that
# fills: the intake stops inside the core while the main loop goes on.
with open(capture, "wb") as ts:
    for i in range(20000):
        ts.write(bytes([0x47, 0x01, 0x00, 0x10 | (i * 2) % 16]) + b"\xff" * 184)
os.unlink(path)
messages, code = run("stuck", capture, path, stuck_for=5)
ready = [at for at, t in messages if t == "READY=1"]
late = [t for at, t in messages if ready and at > ready[0] + 1.5]
if not ready or "WATCHDOG=1" in late or not any(t.startswith("STATUS=") for t in late):
    fail("a stuck intake: %s" % [t[:20] for _, t in messages])
print("ok: no WATCHDOG=1 while the intake is stuck, STATUS= goes on")
