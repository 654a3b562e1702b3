#!/usr/bin/env python3
"""Time from a server's end to the log line naming how it ended.

Runs procwardd on one server (the test server program) in a directory of
its own, kills the server with SIGKILL 20 times (each time once it has run
longer than a check interval, so that it is restarted at once) and measures,
for each kill, the time until the daily log holds the line "bench-exit was
killed by signal 9 (SIGKILL) after ...". Prints the median, the fastest and
the slowest. Usage: bench-exit-line.py BUILD [KILLS]
"""
import glob
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
kills = int(sys.argv[2]) if len(sys.argv) > 2 else 20
work = tempfile.mkdtemp(prefix="procward-bench-exit-")
daemon = None
try:
    for name in ("procwardd", "procward-testserver"):
        shutil.copy(os.path.join(build, name), work)
    os.mkdir(os.path.join(work, "run"), 0o700)
    env = dict(os.environ, PROCWARD_LOCK_DIR=work, XDG_RUNTIME_DIR=os.path.join(work, "run"))
    with open(os.path.join(work, "serverinfo.json"), "w") as f:
        json.dump([{"name": "bench-exit", "processname": "procward-testserver",
                    "commandline": work + "/procward-testserver --bench-exit"}], f)
    with open(os.path.join(work, "procward.ini"), "w") as f:
        f.write("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nRESTART_BACKOFF_MAX=0\n")
    daemon = subprocess.Popen([os.path.join(work, "procwardd")], env=env, cwd="/",
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def server_pid():
        out = subprocess.run([os.path.join(work, "procwardd"), "ctl", "status", "--json"], env=env,
                             capture_output=True, text=True).stdout
        try:
            server = json.loads(out)["servers"][0]
        except (ValueError, KeyError, IndexError):
            return 0
        return server["pid"] if server["state"] == "running" else 0

    def log_text():
        return "".join(open(p, errors="replace").read() for p in glob.glob(os.path.join(work, "logs", "*.log")))

    line = "bench-exit was killed by signal 9 (SIGKILL) after"
    times = []
    killed = 0
    for _ in range(kills):
        pid = 0
        deadline = time.monotonic() + 30
        # The status may still show the process just killed for a moment.
        while pid in (0, killed) and time.monotonic() < deadline:
            pid = server_pid()
            time.sleep(0.05)
        if not pid:
            sys.exit("the server did not run")
        time.sleep(1.2)  # longer than one interval: not a failed start
        if server_pid() != pid:
            sys.exit("the server's pid changed on its own: %s" % log_text()[-2000:])
        logs = glob.glob(os.path.join(work, "logs", "*.log"))
        handle = open(logs[0], "rb")
        handle.seek(0, os.SEEK_END)
        before = time.monotonic()
        os.kill(pid, signal.SIGKILL)
        killed = pid
        text = b""
        while line.encode() not in text:
            chunk = handle.read()
            if chunk:
                text += chunk
            else:
                time.sleep(0.0002)
            if time.monotonic() - before > 30:
                sys.exit("no log line within 30 s")
        times.append((time.monotonic() - before) * 1000)
        handle.close()
    processes = sum(1 for p in os.listdir("/proc") if p.isdigit())
    print("exit to log line (procwardd, %d kills, %d processes on the machine): median %.2f ms, "
          "fastest %.2f ms, slowest %.2f ms" % (kills, processes, statistics.median(times), min(times), max(times)))
finally:
    if daemon:
        daemon.send_signal(signal.SIGTERM)
        daemon.wait(15)
    for exe in glob.glob("/proc/[0-9]*/exe"):
        try:
            if os.readlink(exe) == os.path.join(work, "procward-testserver"):
                os.kill(int(exe.split("/")[2]), signal.SIGKILL)
        except OSError:
            pass
    shutil.rmtree(work, ignore_errors=True)
