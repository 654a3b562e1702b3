#!/usr/bin/python3
"""A burst of kills against the alert channels, in real time.

Usage: bench-alert-burst.py BUILD [COUNT]   (Debian's /usr/bin/python3, with python3-aiosmtpd)

Runs procwardd from BUILD on COUNT servers (100 by default; the test server
program) with a mail server (aiosmtpd, taking mail without a login) and four
chat robots that keep their vendors' documented rules (DingTalk, WeCom text,
Feishu: 20 posts in any minute; Slack: one a second; their size limits; their
own answers to a post beyond either), all on 127.0.0.1, plus a fifth webhook
that takes the connection and never answers. Once the servers have run for a
minute it kills all of them at once and follows the alerts for three
minutes; then it stops procwardd with SIGTERM. It prints, per channel: how
long the first alert of the kill took, how long until every killed server
was named (in a mail, in a post the robot took), how many were never named,
the most posts any window of the robot's budget saw and what the robot
refused; how long procwardd took to end with the receiver hung; and how
many lines the log got from the kill to the end.
With INTERVAL=N in the environment, MIN_ALERT_INTERVAL and every webhook's
MIN_INTERVAL are N (0: only the robots' budgets hold the posts back).
"""
import email
import email.policy
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import http.server

from aiosmtpd.controller import Controller

ROBOTS = {
    # path: (kind, posts, window in seconds, size limit in bytes, what is measured)
    "/dingtalk": ("dingtalk", 20, 60.0, 20000, "body"),
    "/wecom": ("wecom", 20, 60.0, 2048, "content"),
    "/feishu": ("feishu", 20, 60.0, 20000, "body"),
    "/slack": ("slack", 1, 1.0, 40000, "content"),
}


class Robots:
    """The four robots' state: every arrival, and what each took."""

    def __init__(self):
        self.lock = threading.Lock()
        self.arrivals = {path: [] for path in ROBOTS}
        self.accepted = {path: [] for path in ROBOTS}  # (time, text)
        self.too_fast = {path: 0 for path in ROBOTS}
        self.too_long = {path: 0 for path in ROBOTS}

    def answer(self, path, body):
        kind, posts, window, limit, measured = ROBOTS[path]
        now = time.time()
        try:
            document = json.loads(body.decode("utf-8"))
        except ValueError:
            document = {}
        if kind == "dingtalk":
            text = document.get("markdown", {}).get("text", "")
        elif kind == "wecom":
            text = document.get("text", {}).get("content", "")
        elif kind == "feishu":
            text = document.get("content", {}).get("text", "")
        else:
            text = document.get("text", "")
        size = len(body) if measured == "body" else len(text.encode("utf-8"))
        with self.lock:
            self.arrivals[path].append(now)
            recent = [t for t in self.arrivals[path] if t > now - window]
            if len(recent) > posts:
                self.too_fast[path] += 1
                return {
                    "dingtalk": (200, b'{"errcode":130101,"errmsg":"send too fast, exceed 20 times per minute"}', []),
                    "wecom": (200, b'{"errcode":45009,"errmsg":"api freq out of limit"}', []),
                    "feishu": (200, b'{"code":11232,"msg":"frequency limited psm"}', []),
                    "slack": (429, b"rate_limited", [("Retry-After", "1")]),
                }[kind]
            if size > limit:
                self.too_long[path] += 1
                return {
                    "dingtalk": (200, b'{"errcode":460101,"errmsg":"message too long, exceed 20000 bytes"}', []),
                    "wecom": (200, b'{"errcode":40058,"errmsg":"content exceed max length"}', []),
                    "feishu": (400, b'{"code":9499,"msg":"Bad Request"}', []),
                    "slack": (400, b"invalid_payload", []),
                }[kind]
            self.accepted[path].append((now, text))
        if kind == "slack":
            return (200, b"ok", [])
        if kind == "feishu":
            return (200, b'{"code":0,"msg":"success","data":{}}', [])
        return (200, b'{"errcode":0,"errmsg":"ok"}', [])


class Mailbox:
    def __init__(self):
        self.lock = threading.Lock()
        self.mails = []  # (time, body)

    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.content, policy=email.policy.default)
        body = message.get_body(preferencelist=("plain",))
        text = body.get_content() if body else ""
        with self.lock:
            self.mails.append((time.time(), text))
        return "250 OK"


def log_lines(folder, since):
    """How many lines the log got from the kill to the end: in all, errors,
    and per webhook channel (the hung one's failures included)."""
    lines = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            continue  # servers/: the servers' own output
        with open(path, encoding="utf-8", errors="replace") as log:
            lines.extend(log.read().splitlines())
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(since))
    lines = [line for line in lines if line[:19] >= stamp]
    errors = sum(1 for line in lines if "[error]" in line.lower())
    print("log from the kill to the end: %d lines, %d at error level" % (len(lines), errors))
    for channel in list(ROBOTS) + ["/hung"]:
        print("  Webhook %-9s %4d lines" % (channel[1:], sum(1 for line in lines if "Webhook %s:" % channel[1:] in line)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    work = tempfile.mkdtemp(prefix="procward-burst-")
    for name in ("procwardd", "procward-testserver", "procward-metrics.so"):
        shutil.copy(os.path.join(build, name), work)
    os.mkdir(os.path.join(work, "run"), 0o700)
    env = dict(os.environ, PROCWARD_LOCK_DIR=work, XDG_RUNTIME_DIR=os.path.join(work, "run"))

    mailbox = Mailbox()
    smtp_port = free_port()
    controller = Controller(mailbox, hostname="127.0.0.1", port=smtp_port)
    controller.start()

    robots = Robots()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            status, answer, headers = robots.answer(self.path.split("?")[0], body)
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *arguments):
            pass

    web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=web.serve_forever, daemon=True).start()
    web_port = web.server_address[1]

    # A receiver that takes connections and never says a word.
    hung = socket.socket()
    hung.bind(("127.0.0.1", 0))
    hung.listen(64)
    hung_port = hung.getsockname()[1]

    names = ["burst-%03d" % i for i in range(1, count + 1)]
    with open(os.path.join(work, "serverinfo.json"), "w") as out:
        json.dump([{"name": name, "processname": "procward-testserver",
                    "commandline": "%s/procward-testserver --role %s" % (work, name)} for name in names], out)
    interval = os.environ.get("INTERVAL", "")
    ini = ("[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n"
           "[ALERT_MAIL]\nSMTP_SERVER=127.0.0.1\nSMTP_PORT=%d\nSMTP_MAILTO=ops@example.test\nSMTP_SECURITY=none\n"
           % smtp_port)
    if interval:
        ini += "MIN_ALERT_INTERVAL=%s\n" % interval
    for path, (kind, _, _, _, _) in ROBOTS.items():
        ini += "[WEBHOOK.%s]\nURL=http://127.0.0.1:%d%s\nKIND=%s\n" % (path[1:], web_port, path, kind)
        if interval:
            ini += "MIN_INTERVAL=%s\n" % interval
        if kind == "wecom":
            ini += "MSGTYPE=text\n"
    ini += "[WEBHOOK.hung]\nURL=http://127.0.0.1:%d/hook\nKIND=json\nTIMEOUT=300\n" % hung_port
    with open(os.path.join(work, "procward.ini"), "w") as out:
        out.write(ini)
    os.chmod(os.path.join(work, "procward.ini"), 0o600)

    daemon = subprocess.Popen([os.path.join(work, "procwardd")], cwd="/", env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def servers():
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/exe" % entry) == os.path.join(work, "procward-testserver"):
                        found.append(int(entry))
                except OSError:
                    pass
        return found

    try:
        deadline = time.time() + 60
        while len(servers()) < count and time.time() < deadline:
            time.sleep(0.5)
        # The servers run for a minute: the start's alerts are out and the
        # robots' budgets are full again.
        time.sleep(65)
        pids = servers()
        mails_before = len(mailbox.mails)
        posts_before = {path: len(robots.accepted[path]) for path in ROBOTS}
        killed_at = time.time()
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        print("killed %d servers at once" % len(pids))

        def named(texts):
            return {name for name in names for text in texts
                    if name + ": service not working" in text or name + " down" in text}

        follow_until = killed_at + 180
        complete = {}
        while time.time() < follow_until and len(complete) < 1 + len(ROBOTS):
            time.sleep(0.5)
            with mailbox.lock:
                texts = [t for _, t in mailbox.mails[mails_before:]]
            if "mail" not in complete and len(named(texts)) == count:
                complete["mail"] = time.time() - killed_at
            with robots.lock:
                for path in ROBOTS:
                    if path not in complete and len(named([t for _, t in robots.accepted[path][posts_before[path]:]])) == count:
                        complete[path] = time.time() - killed_at

        print("%-10s %12s %18s %6s %10s %9s %9s" % ("channel", "first alert", "all named after", "lost",
                                                    "max posts", "too fast", "too long"))
        with mailbox.lock:
            mails = mailbox.mails[mails_before:]
        first = mails[0][0] - killed_at if mails else float("nan")
        lost = count - len(named([t for _, t in mails]))
        print("%-10s %11.2fs %17s %6d %10s %9s %9s" % ("mail", first, "%.1fs" % complete["mail"] if "mail" in complete
                                                       else "not within 180 s", lost, "%d mails" % len(mails), "-", "-"))
        with robots.lock:
            for path, (kind, posts, window, _, _) in ROBOTS.items():
                taken = robots.accepted[path][posts_before[path]:]
                first = taken[0][0] - killed_at if taken else float("nan")
                lost = count - len(named([t for _, t in taken]))
                arrivals = robots.arrivals[path]
                most = max((sum(1 for u in arrivals if t <= u < t + window) for t in arrivals), default=0)
                print("%-10s %11.2fs %17s %6d %6d/%-3d %9d %9d" % (
                    path[1:], first, "%.1fs" % complete[path] if path in complete else "not within 180 s", lost,
                    most, posts, robots.too_fast[path], robots.too_long[path]))

        started = time.time()
        daemon.send_signal(signal.SIGTERM)
        daemon.wait(60)
        print("procwardd ended %.2f s after SIGTERM, with a webhook receiver that never answers" %
              (time.time() - started))
        log_lines(os.path.join(work, "logs"), killed_at)
    finally:
        if daemon.poll() is None:
            daemon.kill()
            daemon.wait()
        for pid in servers():
            os.kill(pid, signal.SIGKILL)
        controller.stop()
        web.shutdown()
        hung.close()
        if os.environ.get("KEEP_WORK"):
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
