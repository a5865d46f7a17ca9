#!/usr/bin/env python3
"""Drives the Telnet clients people use against `velmar --demo`, each through a
pseudo-terminal as a person types, and checks what the person sees.

    real_clients_test.py VELMAR_BINARY [CLIENT...]

Clients: inetutils (negotiating), inetutils-plain (not negotiating), busybox, plink-telnet,
plink-raw, nc, socat; inetutils-login and busybox-login log in against a users file and read
the screen with a terminal emulator (python3-pyte) to see that the password never shows. A
client whose program (or the emulator) is missing is reported as skipped. Every wait has a
deadline; the whole run is bounded. Exit status 0 when every client passed, 77 when none could
be run.
"""
import fcntl
import os
import pty
import select
import signal
import socket
import subprocess
import struct
import sys
import tempfile
import termios
import time
import tty

PROMPT = b"IP-Symcon>"
PROMPT_END = b">\x1b[0m"  # the end of every prompt, whatever the category
DEADLINE = 10.0  # seconds for any one expected output


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


LOGIN_PASSWORD = "Sesam-7-oeffne-dich"


def make_users_file(binary, directory):
    """A users file with the user admin (level 10), made by the velmar-passwd beside velmar."""
    path = os.path.join(directory, "users")
    passwd = os.path.join(os.path.dirname(binary), "velmar-passwd")
    subprocess.run([passwd, "--stdin", "-c", path, "admin", "--level", "10"],
                   input=(LOGIN_PASSWORD + "\n").encode(), capture_output=True, check=True)
    return path


class Velmar:
    def __init__(self, binary, users=None):
        self.port = free_port()
        demo_port = free_port()
        extra = ["--users", users] if users else []
        self.proc = subprocess.Popen(
            [binary, "--demo", "--demo-port", str(demo_port), "--telnet-port", str(self.port),
             "--shutdown-minutes", "10"] + extra,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise Failure("velmar ended: " + self.proc.stderr.read().decode(errors="replace"))
                time.sleep(0.05)
        raise Failure("velmar did not listen on port %d" % self.port)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Terminal:
    """A client program on a pseudo-terminal (of `size` columns and rows, else the system's
    default): type() writes keystrokes, expect() reads the screen output until a marker
    appears."""

    def __init__(self, argv, raw=False, size=None):
        self.argv = argv
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            if size:
                # Before the program starts, so that it reads this size when it asks.
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", size[1], size[0], 0, 0))
            if raw:
                tty.setraw(0)
            try:
                os.execvp(argv[0], argv)
            finally:
                os._exit(127)
        self.seen = b""  # everything read so far
        self.pos = 0     # where the next expect() starts looking

    def type(self, keys, pause=0.0):
        os.write(self.fd, keys if isinstance(keys, bytes) else keys.encode())
        if pause:
            self.read_for(pause)

    def _read(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            data = b""
        if not data:
            raise Failure("%s ended; screen: %r" % (self.argv[0], self.seen[-400:]))
        self.seen += data
        return True

    def read_for(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self._read(max(0.0, end - time.monotonic()))

    def expect(self, marker, timeout=DEADLINE):
        marker = marker if isinstance(marker, bytes) else marker.encode()
        end = time.monotonic() + timeout
        while True:
            at = self.seen.find(marker, self.pos)
            if at >= 0:
                text = self.seen[self.pos:at + len(marker)]
                self.pos = at + len(marker)
                return text
            left = end - time.monotonic()
            if left <= 0:
                raise Failure("%s: %r not seen; screen: %r"
                              % (" ".join(self.argv), marker, self.seen[self.pos:][-600:]))
            self._read(left)

    def command(self, line, marker=PROMPT_END):
        """Types a line and Enter; returns what appeared up to the next prompt."""
        self.type(line + "\r")
        return self.expect(marker)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.fd)


def check(condition, what, text=b""):
    if not condition:
        raise Failure("%s: %r" % (what, text[-600:]))


def common_session(term, umlaut_lost_once=False):
    """The first command, a name with a non-ASCII letter, and cursor keys."""
    term.expect(PROMPT)
    out = term.command("ls")
    check(b"Erdgeschoss" in out and b"Command unknown" not in out, "first command", out)
    if umlaut_lost_once:
        # Before any negotiation the client takes the 0x9c of "Ü" for its quit key and sends
        # BREAK in its place, then the rest of the line: what came before the BREAK is
        # dropped (new prompt), the rest is a line of its own. The BREAK brings the offer of
        # BINARY, which the client takes; from then on "Ü" arrives whole.
        term.type("show \u00dcberall\r")
        out = term.expect(PROMPT_END) + term.expect(PROMPT_END)
        check(b"Command unknown" in out and b"not found" not in out, "Ü before negotiation", out)
    out = term.command("show \u00dcberall")  # Ü: UTF-8 c3 9c
    check("Object not found: \u00dcberall".encode() in out, "Ü typed", out)
    term.command("cd Erdgeschoss")
    out = term.command("cd K\u00fcche")
    check("K\u00fcche>".encode() in out, "cd Küche", out)
    out = term.command("cd ..\x1b[D")  # Left arrow before Enter
    check(b"Erdgeschoss>" in out and b"not found" not in out, "Left arrow", out)
    out = term.command("\x1b[A")  # Up arrow alone
    check(b"Command unknown" not in out, "Up arrow", out)


def ctrl_c(term):
    """Ctrl+C during a find stops it; the next command's output appears."""
    term.type("find Licht\r")
    term.expect(b"\t")  # the first progress line
    term.type(b"\x03")
    out = term.expect(PROMPT_END)
    check(b" objects searched in " in out, "find stopped with its summary", out)
    check(b"306 objects searched" not in out, "find stopped early", out)
    out = term.command("ls")
    check(b"Erdgeschoss" in out, "output after Ctrl+C", out)


def inetutils(velmar):
    # The dash before the port makes the client negotiate as it does on the standard port.
    term = Terminal(["telnet", "--", "127.0.0.1", "-%d" % velmar.port])
    try:
        common_session(term)
        ctrl_c(term)
        # Character mode: the server refuses to echo, so the client echoes; CR NUL ends lines.
        term.type(b"\x1d")
        term.expect(b"telnet>")
        term.type("mode character\r")
        term.type("\r")
        term.expect(PROMPT_END)
        term.type("ls\r")
        out = term.expect(PROMPT_END)
        check(b"ls" in out and b"Erdgeschoss" in out, "mode character", out)
    finally:
        term.close()


def inetutils_plain(velmar):
    term = Terminal(["telnet", "127.0.0.1", str(velmar.port)])
    try:
        common_session(term, umlaut_lost_once=True)
        ctrl_c(term)
        out = term.command("show \u00dcberall")
        check("Object not found: \u00dcberall".encode() in out, "Ü after Ctrl+C", out)
    finally:
        term.close()


def simple(argv, raw=False):
    def run(velmar):
        term = Terminal([a.replace("PORT", str(velmar.port)) for a in argv], raw)
        try:
            common_session(term)
        finally:
            term.close()
    return run


def plain_transcript(port, lines):
    """What a socket client that never negotiates receives for `lines`."""
    with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as s:
        got = b""
        for line in [None] + lines:
            if line is not None:
                s.sendall(line.encode() + b"\r")
            while got.count(PROMPT_END) < (1 if line is None else 2 + lines.index(line)):
                data = s.recv(65536)
                if not data:
                    raise Failure("connection closed")
                got += data
        return got


def byte_exact(argv):
    """A raw client: the screen shows exactly the bytes a socket client gets; no IAC byte."""
    def run(velmar):
        lines = ["ls", "cd Erdgeschoss", "ls -v", "help"]
        expected = plain_transcript(velmar.port, lines)
        term = Terminal([a.replace("PORT", str(velmar.port)) for a in argv], raw=True)
        try:
            term.expect(PROMPT)
            for line in lines:
                term.type(line + "\r")
                term.expect(PROMPT_END)
            check(b"\xff" not in term.seen, "no IAC byte", term.seen)
            check(term.seen == expected, "byte for byte as a plain socket client", term.seen)
        finally:
            term.close()
    return run


def screen_of(output):
    """The rows a terminal of 132 columns shows after `output`, as the user sees them."""
    import pyte
    screen = pyte.Screen(132, 500)
    pyte.ByteStream(screen).feed(output)
    return [row.rstrip() for row in screen.display]


def login_hidden(argv):
    """Logs in as a person would; the password must never appear on the screen, and once in,
    the client shows what is typed again."""
    def run(velmar):
        term = Terminal([a.replace("PORT", str(velmar.port)) for a in argv])
        try:
            term.expect("Login: ")
            term.type("admin\r")
            term.expect("Password: ")
            term.type(LOGIN_PASSWORD + "\r")
            term.expect(PROMPT_END)
            out = term.command("ls")
            check(b"Erdgeschoss" in out, "first command after the login", out)
            rows = screen_of(term.seen)
            shown = "\n".join(rows).rstrip("\n")
            leaks = [r for r in rows if LOGIN_PASSWORD in r]
            check(not leaks, "password on the screen", "\n".join(leaks).encode())
            check(any(r.startswith("Login: admin") for r in rows), "name shown", shown.encode())
            check(any(r.endswith("@IP-Symcon>ls") for r in rows), "echo back after the login",
                  shown.encode())
        finally:
            term.close()
    return run


CLIENTS = {
    "inetutils": (["telnet"], inetutils),
    "inetutils-plain": (["telnet"], inetutils_plain),
    "busybox": (["busybox"], simple(["busybox", "telnet", "127.0.0.1", "PORT"])),
    "plink-telnet": (["plink"], simple(["plink", "-batch", "-telnet", "-P", "PORT", "127.0.0.1"])),
    "plink-raw": (["plink"], simple(["plink", "-batch", "-raw", "-P", "PORT", "127.0.0.1"])),
    "nc": (["nc"], byte_exact(["nc", "127.0.0.1", "PORT"])),
    "socat": (["socat"], byte_exact(["socat", "-", "TCP:127.0.0.1:PORT"])),
    # Both negotiate only once the server does: the password is hidden all the same.
    "inetutils-login": (["telnet"], login_hidden(["telnet", "127.0.0.1", "PORT"])),
    "busybox-login": (["busybox"], login_hidden(["busybox", "telnet", "127.0.0.1", "PORT"])),
}
NEEDS_USERS = {"inetutils-login", "busybox-login"}


def have_emulator():
    try:
        import pyte  # noqa: F401
        return True
    except ImportError:
        return False


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 64
    names = sys.argv[2:] or list(CLIENTS)
    signal.alarm(60 + 60 * len(names))  # the whole run is bounded
    binary = sys.argv[1]
    servers = {}  # started when first needed: without users, and with
    failed = 0
    skipped = 0
    with tempfile.TemporaryDirectory() as directory:
        try:
            for name in names:
                programs, run = CLIENTS[name]
                if any(subprocess.run(["which", p], capture_output=True).returncode
                       for p in programs):
                    print("SKIP %s (not installed)" % name)
                    skipped += 1
                    continue
                users = name in NEEDS_USERS
                if users and not have_emulator():
                    print("SKIP %s (python3-pyte not installed)" % name)
                    skipped += 1
                    continue
                started = time.monotonic()
                try:
                    if users not in servers:
                        servers[users] = Velmar(
                            binary, make_users_file(binary, directory) if users else None)
                    run(servers[users])
                    print("PASS %s (%.1f s)" % (name, time.monotonic() - started))
                except Failure as e:
                    failed += 1
                    print("FAIL %s: %s" % (name, e))
        finally:
            for velmar in servers.values():
                velmar.stop()
    if failed:
        return 1
    return 77 if skipped == len(names) else 0


if __name__ == "__main__":
    sys.exit(main())
