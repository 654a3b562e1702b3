# -*- coding: utf-8 -*-
"""Ansible module: one server of a machine's Procward."""
from __future__ import annotations

DOCUMENTATION = r"""
module: server
short_description: One server supervised by Procward
description:
  - Keeps an entry of Procward's server list (serverinfo.json) as given and
    its server running, stopped or restarted.
  - Talks to the running Procward through C(procward ctl) only; every change
    goes through Procward's own checks, keeps the list's other keys and is
    applied as a reload applies it.
options:
  name:
    description: The entry's name (unique in the list).
    type: str
    required: true
  state:
    description:
      - C(present) the entry exists with the given keys; C(absent) it does not.
      - C(started), C(stopped) and C(restarted) also keep the entry present,
        then start the server (and turn its auto-start on), stop it (and keep it
        down) or restart it.
    type: str
    choices: [present, absent, started, stopped, restarted]
    default: present
  processname:
    description: The executable file name. Needed to add an entry.
    type: str
  commandline:
    description: The command line. Needed to add an entry.
    type: str
  cwd: {description: Working directory of the server., type: str}
  env: {description: Environment variables of the server., type: dict}
  user: {description: User the server runs as., type: str}
  group: {description: Group the server runs as., type: str}
  pidfile: {description: File in which a daemonizing server writes its process ID., type: str}
  kill_group: {description: Stop the whole process group., type: bool}
  output: {description: Where the server's output goes., type: str, choices: [file, discard]}
  health: {description: The health rule (an object as in serverinfo.json)., type: dict}
  stop_signal: {description: The signal that stops the server., type: str}
  stop_timeout: {description: Seconds to wait before the server is killed., type: raw}
  match: {description: A regular expression its process's command line must match., type: str}
  listen: {description: The address the server listens on (host:port)., type: str}
  ctl:
    description:
      - Path of C(procward) or C(procwardd); by default the first of the two found in PATH.
    type: path
  timeout:
    description: Seconds one ctl command may take.
    type: int
    default: 60
notes:
  - Keys not given are left as the list has them.
  - ctl finds the running Procward as it does from a shell, so the task's
    environment (XDG_RUNTIME_DIR, PROCWARD_LOCK_DIR) counts.
"""

EXAMPLES = r"""
- name: Zone 7 runs the current build
  procward.fleet.server:
    name: zone-7
    processname: gameserver
    commandline: /opt/game/bin/gameserver --zone 7
    cwd: /opt/game
    stop_timeout: 30
    state: started

- name: Restart zone 7
  procward.fleet.server:
    name: zone-7
    state: restarted
"""

RETURN = r"""
entry:
  description: The entry as the list holds it after the task (null when absent).
  type: dict
  returned: always
server_state:
  description: The server's state after the task (running, stopped, ...), when it has one.
  type: str
  returned: when the entry exists
"""

import json
import shutil
import time

from ansible.module_utils.basic import AnsibleModule

OPTIONAL_KEYS = ("cwd", "env", "user", "group", "pidfile", "kill_group", "output", "health", "stop_signal",
                 "stop_timeout", "match", "listen")


class Ctl:
    def __init__(self, module):
        self.module = module
        path = module.params["ctl"] or shutil.which("procward") or shutil.which("procwardd")
        if not path:
            module.fail_json(msg="neither procward nor procwardd was found in PATH; give ctl")
        self.path = path
        self.timeout = module.params["timeout"]

    def run(self, *words, ok_codes=(0,)):
        command = [self.path, "ctl", "--timeout", str(self.timeout)] + list(words)
        code, out, err = self.module.run_command(command)
        if code not in ok_codes:
            self.module.fail_json(msg="procward ctl %s: %s" % (" ".join(words), (out + err).strip()), rc=code,
                                  cmd=command)
        return code, out

    def entries(self):
        _, out = self.run("list", "--json")
        try:
            return json.loads(out)
        except ValueError:
            self.module.fail_json(msg="procward ctl list --json gave no JSON: " + out[:200])

    def server(self, name):
        # 3: some server is not running; the status is there all the same.
        _, out = self.run("status", "--json", ok_codes=(0, 3))
        for server in json.loads(out).get("servers", []):
            if server.get("name") == name:
                return server
        return None


def main():
    arguments = dict(
        name=dict(type="str", required=True),
        state=dict(type="str", default="present", choices=["present", "absent", "started", "stopped", "restarted"]),
        processname=dict(type="str"),
        commandline=dict(type="str"),
        cwd=dict(type="str"),
        env=dict(type="dict"),
        user=dict(type="str"),
        group=dict(type="str"),
        pidfile=dict(type="str"),
        kill_group=dict(type="bool"),
        output=dict(type="str", choices=["file", "discard"]),
        health=dict(type="dict"),
        stop_signal=dict(type="str"),
        stop_timeout=dict(type="raw"),
        match=dict(type="str"),
        listen=dict(type="str"),
        ctl=dict(type="path"),
        timeout=dict(type="int", default=60),
    )
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True)
    params = module.params
    name, state = params["name"], params["state"]
    ctl = Ctl(module)

    found = [e for e in ctl.entries() if isinstance(e, dict) and e.get("name") == name]
    if len(found) > 1:
        module.fail_json(msg="%d entries are named %s; give them names of their own" % (len(found), name))
    before = found[0] if found else None

    wanted = {}
    for key in ("processname", "commandline") + OPTIONAL_KEYS:
        if params[key] is not None:
            wanted[key] = params[key]
    if isinstance(wanted.get("stop_timeout"), str):
        try:
            wanted["stop_timeout"] = float(wanted["stop_timeout"]) if "." in wanted["stop_timeout"] \
                else int(wanted["stop_timeout"])
        except ValueError:
            module.fail_json(msg="stop_timeout must be a number of seconds")

    changed = False
    messages = []
    after = before
    if state == "absent":
        after = None
        if before is not None:
            changed = True
            if not module.check_mode:
                messages.append(ctl.run("remove", name)[1].strip())
    elif before is None:
        if "processname" not in wanted or "commandline" not in wanted:
            module.fail_json(msg="processname and commandline are needed to add %s" % name)
        after = dict(name=name, **wanted)
        changed = True
        if not module.check_mode:
            messages.append(ctl.run("add", json.dumps(after, ensure_ascii=False))[1].strip())
    else:
        differing = {key: value for key, value in wanted.items() if before.get(key) != value}
        if differing:
            after = dict(before, **differing)
            changed = True
            if not module.check_mode:
                words = ["%s:=%s" % (key, json.dumps(value, ensure_ascii=False)) for key, value in differing.items()]
                messages.append(ctl.run("set", name, *words)[1].strip())

    # What the server does, once the entry is as it should be.
    server_state = None
    if state in ("started", "stopped", "restarted"):
        server = None if (module.check_mode and before is None) else ctl.server(name)
        running = server is not None and server.get("state") == "running"
        keeps_running = server is not None and server.get("auto_start", False)
        if state == "restarted":
            changed = True
            if not module.check_mode:
                messages.append(ctl.run("restart", name)[1].strip())
        elif state == "started" and not (running and keeps_running):
            changed = True
            if not module.check_mode:
                messages.append(ctl.run("start", name)[1].strip())
        elif state == "stopped" and (before is None or server is None or running or keeps_running
                                     or server.get("state") not in ("stopped",)):
            changed = True
            if not module.check_mode:
                messages.append(ctl.run("stop", name)[1].strip())
        if not module.check_mode:
            # A start is confirmed once the process has lived a moment: wait
            # for the verdict rather than report "starting".
            deadline = time.time() + ctl.timeout
            server = ctl.server(name)
            while server and server.get("state") in ("starting", "stopping") and time.time() < deadline:
                time.sleep(0.5)
                server = ctl.server(name)
            server_state = server.get("state") if server else None
            if state != "stopped" and server_state != "running":
                module.fail_json(msg="%s is %s, not running (see procward ctl status %s)" % (name, server_state, name),
                                 changed=changed, entry=after, server_state=server_state)

    result = dict(changed=changed, entry=after, messages=messages)
    if server_state is not None:
        result["server_state"] = server_state
    if module._diff:
        result["diff"] = dict(
            before=json.dumps(before, indent=2, sort_keys=True, ensure_ascii=False) + "\n" if before else "",
            after=json.dumps(after, indent=2, sort_keys=True, ensure_ascii=False) + "\n" if after else "",
            before_header="%s (serverinfo.json)" % name, after_header="%s (serverinfo.json)" % name)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
