#!/usr/bin/env python3
"""The published rules schema against the service's own reader.

rules_schema_test.py SCHEMA VERDICT_PROGRAM FILE...: every FILE (the shipped examples, the test
corpus's valid file) must satisfy the schema and be read by the service; then each row of the
tables below must get the same verdict from both, except the few checks the schema says it
cannot make, which must stay exactly those.
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

import jsonschema

SCHEMA, VERDICT, FILES = sys.argv[1], sys.argv[2], sys.argv[3:]


def rules(*rule_list, **root):
    return dict(root, rules=list(rule_list))


# Files both must take: the edges of what the service allows.
BOTH_TAKE = [
    ("an editor's $schema key", rules({"do": "reply"}, **{"$schema": "rules.schema.json"})),
    ("busy with an empty match and a sure chance", rules({"do": "busy", "match": {},
                                                          "probability": 1, "delay_ms": 0})),
    ("busy as the one step of a rule", rules({"steps": [{"do": "busy"}]})),
    ("a failure reply that still acts", rules({"do": "reply", "status": 5, "carry_out": True})),
    ("carry_out false with a status", rules({"do": "partial", "bytes": 0, "status": 1,
                                             "carry_out": False})),
    ("empty messages forever", rules({"do": "empty", "count": "forever"})),
    ("a shared delay and a step's own", rules({"delay_ms": [0, 100], "then": "cycle",
                                               "steps": [{"times": 2, "do": "hang"},
                                                         {"do": "reply", "delay_ms": 5}]})),
    ("a hang-up before the read by chance", rules({"do": "hang-up-before-read",
                                                   "probability": 0.5})),
    ("every key of a match", rules({"match": {"export": "DeleteJobFileByName", "command": 8,
                                              "job": -1, "text": "contains:x"},
                                    "do": "garbled", "bytes": 10})),
    ("the largest seed", rules(seed=18446744073709551615)),
    ("an outage once two requests were read", rules({"do": "absent", "after_requests": 2,
                                                     "for_ms": 3000})),
    ("one hang-up before the third request's read", rules(
        {"after_requests": 2, "steps": [{"times": 1, "do": "hang-up-before-read"}],
         "then": "pass"})),
]

# Files both must refuse.
BOTH_REFUSE = [
    ("an unknown key at the top", rules(sead=1)),
    ("a $schema that is no text", rules(**{"$schema": 5})),
    ("a negative seed", rules(seed=-1)),
    ("rules that are no list", {"rules": {}}),
    ("no rules at all", {}),
    ("a rule without an action", rules({"name": "x"})),
    ("an unknown action", rules({"do": "explode"})),
    ("bytes on a reply", rules({"do": "reply", "bytes": 5})),
    ("partial without bytes", rules({"do": "partial"})),
    ("partial past the frame", rules({"do": "partial", "bytes": 1024})),
    ("oversize by nothing", rules({"do": "oversize", "bytes": 0})),
    ("no empty messages", rules({"do": "empty", "count": 0})),
    ("raw without text", rules({"do": "raw"})),
    ("a status past 32 bits", rules({"do": "reply", "status": 2147483648})),
    ("a chance above 1", rules({"do": "reply", "probability": 1.5})),
    ("an unknown then", rules({"do": "reply", "then": "loop"})),
    ("carry_out false with nothing to answer", rules({"do": "reply", "carry_out": False})),
    ("carry_out on a hang", rules({"do": "hang", "carry_out": True})),
    ("an export that sends nothing", rules({"match": {"export": "StartScheduler"},
                                            "do": "reply"})),
    ("an unknown key in a match", rules({"match": {"name": "x"}, "do": "reply"})),
    ("busy for one job", rules({"match": {"job": 5}, "do": "busy"})),
    ("absent by chance", rules({"do": "absent", "probability": 0.5})),
    ("a window opened by time and by count", rules({"do": "busy", "after_ms": 1,
                                                    "after_requests": 1})),
    ("a negative count of requests", rules({"do": "busy", "after_requests": -1})),
    ("busy after a delay", rules({"do": "busy", "delay_ms": 10})),
    ("busy as one of two steps", rules({"steps": [{"times": 1, "do": "busy"},
                                                  {"do": "reply"}]})),
    ("a hang-up before the read for one job", rules({"match": {"job": 5},
                                                     "do": "hang-up-before-read"})),
    ("an action beside steps", rules({"do": "reply", "steps": [{"do": "hang"}]})),
    ("a rule's key inside a step", rules({"steps": [{"do": "reply", "name": "x"}]})),
    ("no steps", rules({"steps": []})),
    ("a delay over an hour", rules({"do": "reply", "delay_ms": 3600001})),
    ("a delay of three numbers", rules({"do": "reply", "delay_ms": [1, 2, 3]})),
    ("no times at all", rules({"steps": [{"times": 0, "do": "hang"}, {"do": "reply"}]})),
    ("an empty name", rules({"name": "", "do": "reply"})),
]

# What the service refuses and the schema cannot tell, as the schema's description says.
ONLY_THE_SERVICE_REFUSES = [
    ("two rules of one name", rules({"name": "a", "do": "hang"}, {"name": "a", "do": "hang"}),
     "two rules are named"),
    ("a step but the last without times", rules({"steps": [{"do": "hang"}, {"do": "reply"}]}),
     "needs \"times\""),
    ("a delay whose min is above its max", rules({"do": "reply", "delay_ms": [5, 1]}),
     "min is above max"),
    ("a pattern that is no expression", rules({"match": {"text": "re:(["}, "do": "reply"}),
     "is not a regular expression"),
]


class Schema(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(SCHEMA, encoding="utf-8") as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        cls.validator = jsonschema.Draft202012Validator(schema)
        cls.folder = tempfile.mkdtemp()

    def schema_takes(self, document):
        return self.validator.is_valid(document)

    def service_verdicts(self, paths):
        done = subprocess.run([VERDICT] + paths, capture_output=True, text=True, check=True)
        verdicts = done.stdout.splitlines()
        self.assertEqual(len(verdicts), len(paths), done.stdout)
        return verdicts

    def service_verdicts_of(self, table):
        paths = []
        for i, row in enumerate(table):
            paths.append(os.path.join(self.folder, "%d.json" % i))
            with open(paths[-1], "w", encoding="utf-8") as f:
                json.dump(row[1], f)
        return self.service_verdicts(paths)

    def test_every_shipped_and_test_file_satisfies_both(self):
        self.assertTrue(FILES)
        for path, verdict in zip(FILES, self.service_verdicts(FILES)):
            with open(path, encoding="utf-8") as f:
                document = json.load(f)
            errors = [e.message for e in self.validator.iter_errors(document)]
            self.assertEqual(errors, [], path)
            self.assertEqual(verdict, "ok", path)

    def test_the_schema_and_the_service_agree(self):
        for table, wanted in ((BOTH_TAKE, True), (BOTH_REFUSE, False)):
            for (name, document), verdict in zip(table, self.service_verdicts_of(table)):
                self.assertEqual(self.schema_takes(document), wanted, "schema: " + name)
                self.assertEqual(verdict == "ok", wanted, "service: %s: %s" % (name, verdict))

    def test_only_the_named_checks_are_the_services_alone(self):
        table = ONLY_THE_SERVICE_REFUSES
        for (name, document, reason), verdict in zip(table, self.service_verdicts_of(table)):
            self.assertIn(reason, verdict, name)
            # Once the schema can tell one of these, it moves to BOTH_REFUSE.
            self.assertTrue(self.schema_takes(document), name)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
