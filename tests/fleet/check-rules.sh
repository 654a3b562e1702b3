#!/bin/sh
# The shipped Prometheus rules and Alertmanager configuration: valid, their
# rule tests passing, and alerts routed to the receiver the file promises.
set -e
packaging="$1"
promtool check rules "$packaging/prometheus/procward-alerts.yml"
# promtool resolves rule_files against the test file's folder.
cd "$packaging/prometheus" && promtool test rules procward-alerts.test.yml
amtool check-config "$packaging/alertmanager/alertmanager.yml"
route() {
  got=$(amtool config routes test --config.file="$packaging/alertmanager/alertmanager.yml" "$@" 2>/dev/null)
  echo "$* -> $got"
  echo "$got"
}
[ "$(route severity=critical alertname=ProcwardServerDown | tail -1)" = oncall-robot ]
[ "$(route severity=warning alertname=ProcwardServerCrashLoop | tail -1)" = team-robot ]
echo "rules and routes: ok"
