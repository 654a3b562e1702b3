#!/usr/bin/python3
"""Every query of the shipped dashboard, run against a real Prometheus that
scrapes a real procwardd.

Usage: dashboard_queries.py BUILD PACKAGING

procwardd from BUILD supervises three test servers: "web" that runs,
"flappy" that exits every two seconds and is started again, and "kept" that
the operator stops; a webhook that cannot be reached gives alerts that fail.
Prometheus (Debian's) scrapes it every second with the shipped rules loaded.
Once it has a minute of samples, each of the dashboard's queries and
template variables is run: every one must be valid, and all but a few must
give data (some panels show only what this machine does not have).
"""
import json
import os
import re
import subprocess
import sys
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleetlib import Procwardd, free_port, wait_for  # noqa: E402


def query(port, expr):
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": expr}))
    try:
        with urllib.request.urlopen(url, timeout=30) as answer:
            return json.load(answer)
    except urllib.error.HTTPError as error:
        return json.load(error)


def main():
    build, packaging = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    daemon = Procwardd(build, "procward-dashboard-")
    prometheus = None
    try:
        server = daemon.server
        work = daemon.work
        http_port, metrics_port, prometheus_port = free_port(), free_port(), free_port()
        entries = [
            {"name": "web", "processname": "procward-testserver",
             "commandline": "%s --role web --http 127.0.0.1:%d" % (server, http_port),
             "health": {"http": "http://127.0.0.1:%d/" % http_port, "interval": 1}},
            {"name": "flappy", "processname": "procward-testserver",
             "commandline": "%s --role flappy --exit-after 2000" % server},
            {"name": "kept", "processname": "procward-testserver", "commandline": "%s --role kept" % server},
        ]
        daemon.start(entries, "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n[METRICS]\nLISTEN=127.0.0.1:%d\n"
                     "[WEBHOOK.ops]\nURL=http://127.0.0.1:%d/hook\nKIND=json\n" % (metrics_port, free_port()))

        def running(name):
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % metrics_port, timeout=5) as answer:
                return re.search(r'procward_server_up\{name="%s"[^}]*\} 1' % name, answer.read().decode("utf-8"))
        wait_for(lambda: running("kept"), 60, "procwardd's metrics")
        stop = daemon.ctl("stop", "kept")
        if stop.returncode != 0:
            raise SystemExit("ctl stop kept: %s%s" % (stop.stdout, stop.stderr))

        with open(os.path.join(work, "prometheus.yml"), "w") as out:
            out.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                      "rule_files:\n  - %s/prometheus/procward-alerts.yml\n"
                      "scrape_configs:\n  - job_name: procward\n    static_configs:\n"
                      "      - targets: ['127.0.0.1:%d']\n" % (packaging, metrics_port))
        prometheus = subprocess.Popen(
            ["prometheus", "--config.file=" + os.path.join(work, "prometheus.yml"),
             "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
             "--web.listen-address=127.0.0.1:%d" % prometheus_port], stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(work, "prometheus.log"), "w"))

        def samples():
            result = query(prometheus_port, "count_over_time(procward_check_duration_seconds_count[5m])")
            return result["data"]["result"] and float(result["data"]["result"][0]["value"][1]) >= 60

        wait_for(samples, 300, "a minute of samples in Prometheus")

        with open(os.path.join(packaging, "grafana", "procward.json")) as file:
            dashboard = json.load(file)
        values = {"$job": "procward", "$instance": ".*", "$server": ".*", "$__rate_interval": "15s"}

        def substituted(expr):
            for name in sorted(values, key=len, reverse=True):
                expr = expr.replace(name, values[name])
            return expr

        queries = []
        for variable in dashboard["templating"]["list"]:
            if variable["type"] == "query":
                metric, label = variable["query"][len("label_values("):-1].rsplit(",", 1)
                queries.append(("variable " + variable["name"], "group by (%s) (%s)" % (label.strip(), metric)))
        for panel in dashboard["panels"]:
            for target in panel.get("targets", []):
                queries.append(("%s / %s" % (panel["title"], target["refId"]), target["expr"]))

        failed, empty = [], []
        for title, expr in queries:
            answer = query(prometheus_port, substituted(expr))
            if answer.get("status") != "success":
                failed.append("%s: %s: %s" % (title, expr, answer.get("error")))
            elif not answer["data"]["result"]:
                empty.append(title)
        print("%d queries, %d invalid, %d without data" % (len(queries), len(failed), len(empty)))
        for line in failed:
            print("INVALID " + line)
        for title in empty:
            print("empty: " + title)
        # The machine has everything the panels show but exit codes that are
        # not signals and refusals: a few may be empty, most must not.
        if failed or len(empty) > len(queries) // 8:
            return 1
        return 0
    finally:
        if prometheus:
            prometheus.terminate()
            prometheus.wait(timeout=60)
        daemon.stop()


if __name__ == "__main__":
    sys.exit(main())
