#!/usr/bin/env python3
"""The Python test helper's framing and answers, against a fake transport: what it writes on
the control pipe, and what it makes of what the service answers, in pieces or broken."""
import json
import os
import sys
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

        transport = helper.PipeTransport.__new__(helper.PipeTransport)
        transport._pipe = Pieces(b'{"ok":', b'true}\n{"ok"', b":false}\n")  # noqa: SLF001
        transport._pending = b""  # noqa: SLF001
        self.assertEqual(json.loads(transport.receive()), {"ok": True})
        self.assertEqual(json.loads(transport.receive()), {"ok": False})
        self.assertEqual(transport.receive(), b"")


if __name__ == "__main__":
    unittest.main()
