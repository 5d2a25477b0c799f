#!/usr/bin/env python3
"""The Python test helper's framing and answers, against a fake transport: what it writes on
the control pipe, and what it makes of what the service answers, in pieces or broken."""
import json
import os
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "testing"))
import velmora_devservice as helper  # noqa: E402  pylint: disable=wrong-import-position


class FakeTransport:
    """Answers each line sent with the next of `answers` (bytes, possibly several lines or
    part of one), and keeps what was sent."""

    def __init__(self, *answers):
        self.sent = []
        self._answers = list(answers)
        self._pending = b""

    def send(self, line):
        self.sent.append(line)
        if self._answers:
            self._pending += self._answers.pop(0)

    def receive(self):
        if b"\n" not in self._pending:
            return b""
        line, self._pending = self._pending.split(b"\n", 1)
        return line

    def close(self):
        pass


class Framing(unittest.TestCase):
    def test_each_call_is_one_compact_line_and_its_answer_is_read(self):
        rows = [
            (lambda c: c.ping(), b'{"op":"ping"}\n',
             b'{"ok":true,"version":"3.0.0.85","pid":7,"rules":0,"seed":1,"requests":0}\n',
             {"ok": True, "version": "3.0.0.85", "pid": 7, "rules": 0, "seed": 1,
              "requests": 0}),
            (lambda c: c.apply({"rules": [{"do": "hang", "name": "é"}]}),
             b'{"op":"apply","rules":{"rules":[{"do":"hang","name":"\\u00e9"}]}}\n',
             b'{"ok":true,"rules":1,"seed":9}\n', {"ok": True, "rules": 1, "seed": 9}),
            (lambda c: c.reset(jobs=False),
             b'{"op":"reset","rules":true,"jobs":false,"journal":true}\n', b'{"ok":true}\n',
             None),
            (lambda c: c.journal(since=3), b'{"op":"journal","since":3}\n',
             b'{"ok":true,"entries":[{"seq":1,"event":"request"}],"next":4}\n',
             ([{"seq": 1, "event": "request"}], 4)),
            (lambda c: c.verify(export="StartJob", job=5, at_least=2),
             b'{"op":"verify","export":"StartJob","job":5,"at_least":2}\n',
             b'{"ok":true,"count":1,"agrees":false,"report":"found 1"}\n',
             {"ok": True, "count": 1, "agrees": False, "report": "found 1"}),
            (lambda c: c.stop(), b'{"op":"stop"}\n', b'{"ok":true}\n', None),
        ]
        for call, line, answer, result in rows:
            transport = FakeTransport(answer)
            self.assertEqual(call(helper.Control(transport)), result)
            self.assertEqual(transport.sent, [line])

    def test_a_session_is_opened_on_its_own_connection_and_ends_with_it(self):
        rows = [(None, b'{"op":"session"}\n'), (4120, b'{"op":"session","process":4120}\n')]
        for process, line in rows:
            transport = FakeTransport(b'{"ok":true,"session":3}\n', b'{"ok":true}\n')
            transport.closed = False
            transport.close = lambda t=transport: setattr(t, "closed", True)
            with helper.Session(transport, process) as session:
                self.assertEqual(session.id, 3)
                session.reset()
            self.assertEqual(transport.sent[0], line)
            self.assertTrue(transport.closed)
        refused = FakeTransport(b'{"ok":false,"error":"process 9 is not running"}\n')
        with self.assertRaisesRegex(helper.ControlError, "process 9 is not running"):
            helper.Session(refused, 9)

    def test_a_connection_carries_one_answer_per_line_in_order(self):
        # Both answers arrive in one read; each call takes its own.
        transport = FakeTransport(b'{"ok":true,"rules":1,"seed":2}\n{"ok":true}\n')
        control = helper.Control(transport)
        self.assertEqual(control.apply({"rules": []})["seed"], 2)
        control.reset()
        self.assertEqual(len(transport.sent), 2)

    def test_refusals_and_broken_answers_raise_with_the_reason(self):
        rows = [
            (b'{"ok":false,"error":"rule 2: unknown action \\"x\\""}\n',
             'rule 2: unknown action "x"'),
            (b"", "closed the control pipe without answering"),
            (b'{"ok":tr', "closed the control pipe without answering"),  # cut short
            (b"not json\n", "not JSON"),
            (b'{"ok":"yes"}\n', "not understood"),
            (b'["ok"]\n', "not understood"),
        ]
        for answer, reason in rows:
            with self.assertRaises(helper.ControlError) as raised:
                helper.Control(FakeTransport(answer)).apply({"rules": []})
            self.assertIn(reason, str(raised.exception), answer)

    def test_the_pipe_transport_reads_lines_across_reads(self):
        class Pieces:
            def __init__(self, *chunks):
                self.chunks = list(chunks)

            def read(self, _size):
                return self.chunks.pop(0) if self.chunks else b""

        transport = helper.PipeTransport(Pieces(b'{"ok":', b'true}\n{"ok"', b":false}\n"))
        self.assertEqual(json.loads(transport.receive()), {"ok": True})
        self.assertEqual(json.loads(transport.receive()), {"ok": False})
        self.assertEqual(transport.receive(), b"")
        self.assertEqual(transport.receive(), b"")  # closed stays closed

    def test_a_silent_or_endless_service_costs_a_bounded_time_and_memory(self):
        class Silent:
            def read(self, _size):
                threading.Event().wait(60)
                return b""

        class Endless:
            def read(self, size):
                return b"x" * size

        rows = [(Silent(), "did not answer within 0.2 s"),
                (Endless(), "runs past 1048576 bytes without a line end")]
        for stream, reason in rows:
            started = time.monotonic()
            transport = helper.PipeTransport(stream, answer_seconds=0.2, max_answer=1 << 20)
            with self.assertRaises(helper.ControlError) as raised:
                transport.receive()
            self.assertIn(reason, str(raised.exception))
            self.assertLess(time.monotonic() - started, 5)


class Start(unittest.TestCase):
    """DevService's start against a stand-in service (a shell script that says it serves and
    sleeps) and a fake control pipe that answers its ping."""

    def start(self, answer_for):
        folder = tempfile.mkdtemp()
        exe, pid_file = os.path.join(folder, "service.sh"), os.path.join(folder, "pid")
        with open(exe, "w") as f:
            f.write('#!/bin/sh\necho $$ > "%s"\necho "velmora-devservice: serving"\n'
                    'exec sleep 30\n' % pid_file)
        os.chmod(exe, 0o755)
        started = []

        def connect(_pipe, _seconds):
            while not os.path.exists(pid_file) or not open(pid_file).read().strip():
                time.sleep(0.01)
            started.append(int(open(pid_file).read()))
            return FakeTransport(answer_for(started[0]), b'{"ok":true}\n')
        return connect, exe, started

    def test_only_the_started_service_is_taken_and_a_failed_start_ends_it(self):
        rows = [
            (lambda pid: b"garbage\n", "not JSON"),
            (lambda pid: b'{"ok":true,"pid":%d}\n' % (pid + 1), "another velmora-devservice"),
            (lambda pid: b'{"ok":true,"pid":%d}\n' % pid, None),
        ]
        for answer_for, reason in rows:
            connect, exe, started = self.start(answer_for)
            if reason:
                with self.assertRaises(helper.ControlError) as raised:
                    helper.DevService(exe, connect=connect)
                self.assertIn(reason, str(raised.exception))
                self.assertFalse(os.path.exists("/proc/%d" % started[0]), reason)  # reaped
                continue
            service = helper.DevService(exe, connect=connect)
            deadline = time.monotonic() + 10
            while b"serving" not in open(service.console_path, "rb").read():
                self.assertLess(time.monotonic(), deadline, "its console never said serving")
                time.sleep(0.01)
            service.process.kill()
            service.close()
            self.assertIsNotNone(service.process.poll())


if __name__ == "__main__":
    unittest.main()
