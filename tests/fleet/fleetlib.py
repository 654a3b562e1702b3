"""What the fleet tests share: a procwardd of their own in a folder of its
own, with its own socket and lock folder, and a few waits."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds, what):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            if condition():
                return
        except OSError:
            pass
        time.sleep(0.5)
    raise SystemExit("timed out waiting for " + what)


class Procwardd:
    """procwardd from a build, copied into a temporary folder with the test
    server, run on the given list and settings until stop()."""

    def __init__(self, build, prefix):
        self.work = tempfile.mkdtemp(prefix=prefix)
        for name in ("procwardd", "procward-testserver", "procward-metrics.so"):
            shutil.copy(os.path.join(build, name), self.work)
        os.mkdir(os.path.join(self.work, "run"), 0o700)
        # ctl finds this procwardd, and no other, through these.
        self.env = dict(os.environ, PROCWARD_LOCK_DIR=self.work, XDG_RUNTIME_DIR=os.path.join(self.work, "run"))
        self.program = os.path.join(self.work, "procwardd")
        self.server = os.path.join(self.work, "procward-testserver")
        self.process = None

    def start(self, entries, ini):
        with open(os.path.join(self.work, "serverinfo.json"), "w") as out:
            json.dump(entries, out)
        with open(os.path.join(self.work, "procward.ini"), "w") as out:
            out.write(ini)
        os.chmod(os.path.join(self.work, "procward.ini"), 0o600)
        self.process = subprocess.Popen([self.program], cwd="/", env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def ctl(self, *words):
        return subprocess.run([self.program, "ctl"] + list(words), env=self.env, capture_output=True, text=True,
                              timeout=120)

    def status(self):
        # 3 also when no procwardd answers yet: then there is no JSON.
        answer = self.ctl("status", "--json")
        try:
            return json.loads(answer.stdout)
        except ValueError:
            return {"servers": []}

    def stop(self):
        if self.process:
            self.process.terminate()
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
        # The servers it left running.
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/exe" % entry) == self.server:
                        os.kill(int(entry), 9)
                except OSError:
                    pass
        shutil.rmtree(self.work, ignore_errors=True)
