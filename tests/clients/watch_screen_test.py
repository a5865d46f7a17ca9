#!/usr/bin/env python3
"""`watch` as a person sees it: inetutils `telnet` and OpenSSH's `ssh` in pseudo-terminals of
a known size against `velmar --demo` with a users file, their output read by a terminal
emulator (pyte), values changed through the simulated server's API meanwhile.

    watch_screen_test.py VELMAR_BINARY [telnet|ssh ...]

Exit status 0 when every case passed, 1 when one failed, 77 when none could be run (pyte or the
client program missing). Every wait has a deadline and the whole run is bounded.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from real_clients_test import DEADLINE, Failure, Terminal, check, free_port  # noqa: E402

try:
    import pyte
except ImportError:
    pyte = None

PASSWORD = "watch-pw"
KITCHEN = 13917  # Küche: five variables
KITCHEN_FRIDGE = 10427  # Kühlschrank Temperatur, a float
ENERGY = 57574  # Energie Tageswerte: 121 variables


class Service:
    """velmar --demo with a users file (alice, level 10) and SSH with alice's key."""

    def __init__(self, binary):
        self.dir = tempfile.mkdtemp(prefix="velmar-watch-")
        users = os.path.join(self.dir, "users")
        subprocess.run([os.path.join(os.path.dirname(binary), "velmar-passwd"), "--stdin", "-c",
                        users, "alice", "--level", "10"], input=PASSWORD + "\n", text=True,
                       check=True, capture_output=True)
        self.key = os.path.join(self.dir, "alice")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.key], check=True)
        keys = os.path.join(self.dir, "keys")
        os.mkdir(keys, 0o700)
        shutil.copy(self.key + ".pub", os.path.join(keys, "alice"))
        self.err = open(os.path.join(self.dir, "stderr"), "w+")
        self.proc = subprocess.Popen(
            [binary, "--demo", "--demo-port", "0", "--telnet-port", "0", "--listen", "127.0.0.1",
             "--users", users, "--ssh-port", "0", "--ssh-authorized-keys", keys,
             "--ssh-host-key", os.path.join(self.dir, "host_key"), "--shutdown-minutes", "10"],
            stdout=subprocess.DEVNULL, stderr=self.err)
        self.demo_port = int(self._wait_for(r"demo server .* on http://127\.0\.0\.1:(\d+)/"))
        self.telnet_port = int(self._wait_for(r"Telnet listening on 127\.0\.0\.1:(\d+)"))
        self.ssh_port = int(self._wait_for(r"SSH listening on 127\.0\.0\.1:(\d+)"))

    def _wait_for(self, pattern):
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            self.err.seek(0)
            found = re.search(pattern, self.err.read())
            if found:
                return found.group(1)
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        self.err.seek(0)
        raise Failure("velmar did not start: " + self.err.read())

    def call(self, method, *params):
        """One JSON-RPC call to the simulated server; its result."""
        body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": list(params)})
        request = urllib.request.Request("http://127.0.0.1:%d/api/" % self.demo_port,
                                         data=body.encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=DEADLINE) as reply:
            return json.loads(reply.read())["result"]

    def change(self, variable):
        """Gives a numeric variable another value; returns it as the shell shows it."""
        record = self.call("IPS_GetVariable", variable)
        if record["VariableType"] == 1:
            value = int(record["VariableValue"]) + 7
            self.call("SetValueInteger", variable, value)
            return str(value)
        value = float(record["VariableValue"]) + 1.25
        self.call("SetValueFloat", variable, value)
        return ("%.2f" % value).rstrip("0").rstrip(".")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.err.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Screen:
    """What a terminal of the pty's size shows of everything the client wrote."""

    def __init__(self, term, columns, rows):
        self.term = term
        self.screen = pyte.Screen(columns, rows)
        self.stream = pyte.ByteStream(self.screen)
        self.fed = 0

    def rows(self):
        return self.screen.display

    def row_with(self, text):
        """The last row that shows `text`; -1 for none."""
        for index in range(len(self.rows()) - 1, -1, -1):
            if text in self.rows()[index]:
                return index
        return -1

    def wait(self, condition, what, timeout=DEADLINE):
        end = time.monotonic() + timeout
        while True:
            self.stream.feed(self.term.seen[self.fed:])
            self.fed = len(self.term.seen)
            if condition():
                return
            left = end - time.monotonic()
            if left <= 0:
                raise Failure("%s; screen:\n%s" % (what, "\n".join(self.rows())))
            self.term._read(min(left, 0.2))

    def wait_text(self, text):
        self.wait(lambda: self.row_with(text) >= 0, "%r not on the screen" % text)

    def reverse_at(self, row, text):
        """Whether `text` in `row` is shown in reverse video."""
        column = self.rows()[row].find(text)
        return column >= 0 and all(self.screen.buffer[row][column + i].reverse
                                   for i in range(len(text)))


def watch_and_interrupt(service, screen, target, interval):
    """Runs watch on `target` until a change has shown and gone, then Ctrl+C; gives the row
    of the table's header, which must never have moved."""
    screen.term.type("watch %d -i %s\r" % (target, interval))
    screen.wait_text("Ctrl+C ends.")
    header = screen.row_with("   ID  Name")
    status = screen.row_with("Ctrl+C ends.")
    check(header >= 0 and status > header, "a table above its status line", "\n".join(screen.rows()).encode())
    check(("Every %s s" % interval) in screen.rows()[status], "the interval on the status line")

    # A change of a variable on the screen: its value highlighted for one round.
    first = screen.rows()[header + 1].split()
    variable = int(first[0])
    shown = service.change(variable)
    row = header + 1
    screen.wait(lambda: shown in screen.rows()[row] and screen.reverse_at(row, shown),
                "the new value %s of %d not highlighted" % (shown, variable))
    screen.wait(lambda: not screen.reverse_at(row, shown), "the highlight stayed")
    check(screen.row_with("   ID  Name") == header, "the table redrawn in place",
          "\n".join(screen.rows()).encode())

    screen.term.type(b"\x03")
    screen.wait(lambda: screen.row_with("IP-Symcon>") > header and
                screen.row_with("Ctrl+C ends.") < 0, "no prompt after Ctrl+C")
    # The last values stay above the prompt (which may have scrolled them up).
    check(0 <= screen.row_with("%d  " % variable) < screen.row_with("IP-Symcon>"),
          "the table stays on the screen", "\n".join(screen.rows()).encode())
    screen.term.type("uptime\r")
    screen.wait_text("Velmar Server: ")
    return header


def telnet_case(service):
    # The dash before the port makes the client negotiate (and report its window size).
    term = Terminal(["telnet", "--", "127.0.0.1", "-%d" % service.telnet_port], size=(80, 24))
    try:
        screen = Screen(term, 80, 24)
        term.expect("Login: ")
        term.type("alice\r")
        term.expect("Password: ")
        term.type(PASSWORD + "\r")
        screen.wait_text("@IP-Symcon>")
        header = watch_and_interrupt(service, screen, KITCHEN, "0.3")
        check("watch %d" % KITCHEN in screen.rows()[header - 1], "the command line above the table")
    finally:
        term.close()


def ssh_case(service):
    # A window of 12 rows for 121 variables: the table takes the window and says how many more
    # there are, and the redrawing never scrolls it.
    term = Terminal(["ssh", "-tt", "-p", str(service.ssh_port), "-i", service.key,
                     "-o", "IdentitiesOnly=yes", "-o", "PasswordAuthentication=no",
                     "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                     "-o", "LogLevel=ERROR", "alice@127.0.0.1"], size=(100, 12))
    try:
        screen = Screen(term, 100, 12)
        screen.wait_text("@IP-Symcon>")
        watch_and_interrupt(service, screen, KITCHEN, "0.5")
        term.type("watch %d\r" % ENERGY)
        screen.wait_text("111 more below.")
        check(screen.row_with("   ID  Name") == 0 and screen.row_with("more below") == 11,
              "the table fills the window", "\n".join(screen.rows()).encode())
        term.type(b"\x03")
        screen.wait(lambda: screen.row_with("Ctrl+C ends.") < 0 and
                    screen.rows()[-1].startswith("@IP-Symcon>"), "no prompt after Ctrl+C")
    finally:
        term.close()


CASES = {"telnet": (["telnet"], telnet_case), "ssh": (["ssh", "ssh-keygen"], ssh_case)}


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 64
    names = sys.argv[2:] or list(CASES)
    if pyte is None:
        print("SKIP (python3-pyte is not installed)")
        return 77
    signal.alarm(60 + 60 * len(names))
    runnable = [n for n in names if all(shutil.which(p) for p in CASES[n][0])]
    for name in set(names) - set(runnable):
        print("SKIP %s (not installed)" % name)
    if not runnable:
        return 77
    service = Service(sys.argv[1])
    failed = 0
    try:
        for name in runnable:
            started = time.monotonic()
            try:
                CASES[name][1](service)
                print("PASS %s (%.1f s)" % (name, time.monotonic() - started))
            except Failure as e:
                failed += 1
                print("FAIL %s: %s" % (name, e))
    finally:
        service.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
