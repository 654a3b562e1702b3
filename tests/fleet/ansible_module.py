#!/usr/bin/python3
"""The Ansible module procward.fleet.server, run by Debian's ansible-core
against localhost and a real procwardd.

Usage: ansible_module.py BUILD PACKAGING

Each state in turn, each run twice (the second must report no change), a
run in check mode (a change reported, nothing changed), a diff, and a bad
value refused with procward's reason.
"""
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleetlib import Procwardd, wait_for  # noqa: E402

PLAY = r"""
- hosts: localhost
  connection: local
  gather_facts: false
  environment: "{{ procward_env }}"
  module_defaults:
    procward.fleet.server:
      ctl: "{{ procward_ctl }}"
  tasks:
    - name: add in check mode
      procward.fleet.server: {name: zone-7, processname: procward-testserver, commandline: "{{ zone7 }}", cwd: /tmp}
      check_mode: true
      diff: true
      register: r
    - assert: {that: [r.changed, "'zone-7' in r.diff.after", r.diff.before == '']}
    - name: nothing was added in check mode
      command: "{{ procward_ctl }} ctl list --json"
      register: listed
      changed_when: false
    - assert: {that: ["(listed.stdout | from_json | selectattr('name', 'equalto', 'zone-7') | list | length) == 0"]}

    - name: add and start
      procward.fleet.server: &zone7 {name: zone-7, processname: procward-testserver, commandline: "{{ zone7 }}", cwd: /tmp, stop_timeout: 3, state: started}
      register: r
    - assert: {that: [r.changed, r.entry.cwd == '/tmp', r.server_state == 'running']}
    - name: the same again
      procward.fleet.server: *zone7
      register: r
    - assert: {that: [not r.changed]}

    - name: a key changed, shown as a diff
      procward.fleet.server: {name: zone-7, env: {ZONE: "7"}}
      diff: true
      register: r
    - assert: {that: [r.changed, "'ZONE' in r.diff.after", "'ZONE' not in r.diff.before", r.entry.cwd == '/tmp']}
    - procward.fleet.server: {name: zone-7, env: {ZONE: "7"}}
      register: r
    - assert: {that: [not r.changed]}

    - name: stopped
      procward.fleet.server: {name: zone-7, state: stopped}
      register: r
    - assert: {that: [r.changed, r.server_state == 'stopped']}
    - procward.fleet.server: {name: zone-7, state: stopped}
      register: r
    - assert: {that: [not r.changed]}
    - name: started again
      procward.fleet.server: {name: zone-7, state: started}
      register: r
    - assert: {that: [r.changed, r.server_state == 'running']}
    - name: restarted, every time
      procward.fleet.server: {name: zone-7, state: restarted}
      register: r
    - assert: {that: [r.changed, r.server_state == 'running']}

    - name: a bad value is refused with procward's reason
      procward.fleet.server: {name: zone-7, stop_signal: PIPE}
      register: r
      ignore_errors: true
    - assert: {that: [r.failed, "'stop_signal' in r.msg"]}

    - name: absent
      procward.fleet.server: {name: zone-7, state: absent}
      register: r
    - assert: {that: [r.changed, r.entry == None]}
    - procward.fleet.server: {name: zone-7, state: absent}
      register: r
    - assert: {that: [not r.changed]}
"""


def main():
    build, packaging = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    daemon = Procwardd(build, "procward-ansible-")
    try:
        daemon.start([{"name": "web", "processname": "procward-testserver",
                       "commandline": "%s --role web" % daemon.server}],
                     "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nSTOP_TIMEOUT=5\n")
        wait_for(lambda: daemon.status().get("running") == 1, 60, "procwardd and its server")
        play = os.path.join(daemon.work, "play.yml")
        with open(play, "w") as out:
            out.write(PLAY)
        variables = {"procward_ctl": daemon.program, "zone7": "%s --role zone-7" % daemon.server,
                     "procward_env": {"PROCWARD_LOCK_DIR": daemon.env["PROCWARD_LOCK_DIR"],
                                      "XDG_RUNTIME_DIR": daemon.env["XDG_RUNTIME_DIR"]}}
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(packaging, "ansible"),
                   ANSIBLE_LOCAL_TEMP=tempfile.mkdtemp(dir=daemon.work), ANSIBLE_HOME=daemon.work,
                   ANSIBLE_NOCOLOR="1", ANSIBLE_PYTHON_INTERPRETER=sys.executable, ANSIBLE_DEPRECATION_WARNINGS="0")
        run = subprocess.run(["ansible-playbook", "-i", "localhost,", play, "-e", json.dumps(variables)],
                             env=env, capture_output=True, text=True, timeout=900)
        print(run.stdout[-6000:])
        print(run.stderr[-3000:])
        # The first server was never touched.
        web = [s for s in daemon.status()["servers"] if s["name"] == "web"]
        if run.returncode != 0 or len(web) != 1 or web[0]["state"] != "running":
            return 1
        return 0
    finally:
        daemon.stop()


if __name__ == "__main__":
    sys.exit(main())
