"""Holds velmora-devservice from a Python test suite (pytest, unittest) on Windows.

    from velmora_devservice import DevService

    with DevService(r"C:\\velmora\\bin\\velmora-devservice.exe") as service:
        service.apply({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})
        ... call StartJob(5) through the library: it returns 1460 ...
        assert service.verify(export="StartJob", job=5, count=1)["agrees"]
        service.reset()

Tests that run at once each take a session, which gives their process (and every process it
starts) rules, jobs and a journal of their own on the one service:

        with service.session() as mine:
            mine.apply({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})
            ... this process's StartJob(5) returns 1460, whatever other tests apply ...

Each call is one line on the service's control pipe and waits for its answer (at most
`answer_seconds`); `apply` returns once the rules are in force, so the next call of the host
meets them. A refusal raises ControlError with the service's reason. The service is stopped when
the block ends, even when a test failed. Its console goes to a file in the temporary folder
(`console_path`, named in every failure), or to the test's own output with
`console_to_output=True`.
"""
import json
import os
import queue
import subprocess
import tempfile
import threading
import time

DEFAULT_PIPE = r"\\.\pipe\velmora-devservice"


class ControlError(Exception):
    """The service refused an operation, or no service answers."""


# The longest answer line taken: the service's whole memory journal fits.
MAX_ANSWER = 256 << 20


class PipeTransport:
    """One connection to the control pipe: lines out, lines back. A thread of its own reads, so
    that a service that stops answering costs `answer_seconds`, not the test run."""

    def __init__(self, stream, answer_seconds=30, max_answer=MAX_ANSWER):
        self._pipe = stream
        self._answer_seconds = answer_seconds
        self._max_answer = max_answer
        self._pending = b""
        self._chunks = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    @classmethod
    def open(cls, name, answer_seconds=30):
        return cls(open(name, "r+b", buffering=0),  # pylint: disable=consider-using-with
                   answer_seconds)

    def _read(self):
        try:
            for chunk in iter(lambda: self._pipe.read(65536), b""):
                self._chunks.put(chunk)
        except (OSError, ValueError):
            pass
        self._chunks.put(b"")

    def send(self, line):
        self._pipe.write(line)

    def receive(self):
        """The next line the service wrote, without its end; b"" once it closed."""
        deadline = time.monotonic() + self._answer_seconds
        while b"\n" not in self._pending:
            if len(self._pending) > self._max_answer:
                raise ControlError("the service's answer runs past %d bytes without a line end"
                                   % self._max_answer)
            try:
                chunk = self._chunks.get(timeout=max(0, deadline - time.monotonic()))
            except queue.Empty:
                raise ControlError("the service did not answer within %s s"
                                   % self._answer_seconds) from None
            if not chunk:
                self._chunks.put(b"")  # closed: so it stays
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
        """The journal's lines from request `since` on, and the next request's number."""
        answer = self.call("journal", since=since)
        return answer["entries"], answer["next"]

    def verify(self, **conditions):
        """verify's conditions as keywords (export, job, text, rule, action, status, since,
        count, at_least); returns {"count", "agrees", "report"}."""
        return self.call("verify", **conditions)

    def stop(self):
        self.call("stop")


class Session(Control):
    """A session on a connection of its own: apply, reset, journal and verify act on the rules,
    jobs and journal of `process` (None: this one) and every process it starts. It ends when
    closed, or at the end of its with block. busy and absent are refused in a session: they act
    on the whole pipe."""

    def __init__(self, transport, process=None):
        super().__init__(transport)
        try:
            self.id = self.call("session", **({} if process is None else {"process": process}))[
                "session"]
        except BaseException:
            transport.close()
            raise

    def close(self):
        self._transport.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class DevService(Control):
    """Starts velmora-devservice (by default the one beside this module, as the wheel installs
    it: `from velmora.testing import DevService`), waits until it answers, and stops it at the
    end. `connect` opens the control pipe (PipeTransport.open; a fake in tests)."""

    def __init__(self, exe=None, *args, pipe=DEFAULT_PIPE, start_seconds=10, answer_seconds=30,
                 console_to_output=False, connect=PipeTransport.open):
        if exe is None:
            exe = find_service(os.path.dirname(os.path.abspath(__file__)))
        self.console_path = None
        console = None
        if not console_to_output:
            handle, self.console_path = tempfile.mkstemp(prefix="velmora-devservice-",
                                                         suffix=".log")
            console = os.fdopen(handle, "wb")
        try:
            self.process = subprocess.Popen(  # pylint: disable=consider-using-with
                [exe, "--control", pipe, *args], stdin=subprocess.DEVNULL, stdout=console,
                stderr=subprocess.STDOUT if console else None)
        finally:
            if console:
                console.close()
        self._transport = None
        self._reconnect = lambda: connect(pipe, answer_seconds)
        try:
            self._connect(connect, pipe, exe, start_seconds, answer_seconds)
            pid = self.ping().get("pid")
            if pid != self.process.pid:
                raise ControlError(
                    "another velmora-devservice (process %s) answers on %s: give this one a "
                    "control name of its own%s" % (pid, pipe, self._console_note()))
        except BaseException:
            self._end()  # never left running: not after garbage, nor on another's pipe
            raise

    def _connect(self, connect, pipe, exe, start_seconds, answer_seconds):
        deadline = time.monotonic() + start_seconds
        while True:
            try:
                super().__init__(connect(pipe, answer_seconds))
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise ControlError("velmora-devservice did not start: %s%s"
                                       % (exe, self._console_note())) from None
                time.sleep(0.05)

    def session(self, process=None):
        """A Session on this service, for `process` (None: this one)."""
        return Session(self._reconnect(), process)

    def _console_note(self):
        return " (its console: %s)" % self.console_path if self.console_path else ""

    def _end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        if self._transport is not None:
            self._transport.close()

    def close(self):
        """Stops the service, however the test went."""
        try:
            self.stop()
        except (ControlError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        self._end()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def find_service(dll_folder):
    """velmora-devservice.exe in `dll_folder`: bin/ as the archive lays it out, or the wheel's
    velmora/ folder."""
    path = os.path.join(dll_folder, "velmora-devservice.exe")
    if not os.path.isfile(path):
        raise ControlError("no velmora-devservice.exe in " + dll_folder)
    return path
