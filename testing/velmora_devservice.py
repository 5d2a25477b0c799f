"""Holds velmora-devservice from a Python test suite (pytest, unittest) on Windows.

    from velmora_devservice import DevService

    with DevService(r"C:\\velmora\\bin\\velmora-devservice.exe") as service:
        service.apply({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})
        ... call StartJob(5) through the library: it returns 1460 ...
        assert service.verify(export="StartJob", job=5, count=1)["agrees"]
        service.reset()

Each call is one line on the service's control pipe and waits for its answer; `apply` returns
once the rules are in force, so the next call of the host meets them. A refusal raises
ControlError with the service's reason. The service is stopped when the block ends, even when a
test failed.
"""
import json
import os
import subprocess
import time

DEFAULT_PIPE = r"\\.\pipe\velmora-devservice"


class ControlError(Exception):
    """The service refused an operation, or no service answers."""


class PipeTransport:
    """One connection to the control pipe: lines out, lines back."""

    def __init__(self, name):
        self._pipe = open(name, "r+b", buffering=0)  # pylint: disable=consider-using-with
        self._pending = b""

    def send(self, line):
        self._pipe.write(line)

    def receive(self):
        """The next line the service wrote, without its end; b"" once it closed."""
        while b"\n" not in self._pending:
            chunk = self._pipe.read(65536)
            if not chunk:
                return b""
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line

    def close(self):
        self._pipe.close()


class Control:
    """The control pipe's operations over a transport (a PipeTransport, or a fake in tests)."""

    def __init__(self, transport):
        self._transport = transport

    def call(self, op, **fields):
        """Sends {"op": op, ...} and returns the answer; raises ControlError when refused."""
        self._transport.send(json.dumps(dict(op=op, **fields), separators=(",", ":")).encode()
                             + b"\n")
        line = self._transport.receive()
        if not line:
            raise ControlError("the service closed the control pipe without answering")
        try:
            answer = json.loads(line)
        except ValueError as error:
            raise ControlError("the service's answer is not JSON: %r" % line[:200]) from error
        if not isinstance(answer, dict) or not isinstance(answer.get("ok"), bool):
            raise ControlError("the service's answer is not understood: %r" % line[:200])
        if not answer["ok"]:
            raise ControlError(answer.get("error", "refused"))
        return answer

    def ping(self):
        return self.call("ping")

    def apply(self, rules):
        """Puts the rules (a rules file's content, as a dict) in force; returns their count and
        seed once they are."""
        return self.call("apply", rules=rules)

    def reset(self, rules=True, jobs=True, journal=True):
        self.call("reset", rules=rules, jobs=jobs, journal=journal)

    def journal(self, since=1):
        """The journal's entries numbered `since` or later, and the number to ask from next."""
        answer = self.call("journal", since=since)
        return answer["entries"], answer["next"]

    def verify(self, **conditions):
        """verify's conditions as keywords (export, job, text, rule, action, status, since,
        count, at_least); returns {"count", "agrees", "report"}."""
        return self.call("verify", **conditions)

    def stop(self):
        self.call("stop")


class DevService(Control):
    """Starts velmora-devservice, waits until it answers, and stops it at the end."""

    def __init__(self, exe, *args, pipe=DEFAULT_PIPE, start_seconds=10):
        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            [exe, "--control", pipe, *args], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + start_seconds
        while True:
            try:
                super().__init__(PipeTransport(pipe))
                self.ping()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.process.kill()
                    raise ControlError("velmora-devservice did not start: %s" % exe) from None
                time.sleep(0.05)

    def close(self):
        """Stops the service, however the test went."""
        try:
            self.stop()
        except (ControlError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self._transport.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def find_service(dll_folder):
    """velmora-devservice.exe beside Velmora.dll's folder (bin/), as the archive lays it out."""
    path = os.path.join(dll_folder, "velmora-devservice.exe")
    if not os.path.isfile(path):
        raise ControlError("no velmora-devservice.exe in " + dll_folder)
    return path
