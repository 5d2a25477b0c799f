#!/usr/bin/env python3
"""jobctl against velmora-devservice, both under Wine: every subcommand end to end, the
missing export of edition 2, the bounded call, the absent service, and stopping the service.

  tools_e2e.py --bin BUILD/bin --edition2-dll PATH --wine scripts/wine-run.sh
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None


def exit_status(code):
    """What a Unix parent sees of a Windows exit code: its low 8 bits."""
    return code & 0xFF


class DevService:
    """velmora-devservice running in the background, stopped with Ctrl+C (SIGINT)."""

    def __init__(self, *options):
        self.log = tempfile.NamedTemporaryFile(suffix=".jsonl", delete=False).name
        self.out = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"), "--log",
             self.log, *options], stdout=self.out, stderr=subprocess.STDOUT)
        self._wait_for("serving")

    def _wait_for(self, text, seconds=20):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if text in self.output():
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"devservice never printed {text!r}: {self.output()}")

    def output(self):
        self.out.seek(0)
        return self.out.read().decode("utf-8", "replace")

    def requests(self):
        with open(self.log, encoding="utf-8") as lines:
            return [json.loads(line) for line in lines]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        code = self.process.wait(timeout=20)
        if os.path.exists(self.log):
            os.unlink(self.log)
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.out.close()


def jobctl(*args, dll=None):
    """Runs jobctl with --json; returns (exit status, parsed JSON or None, stderr, seconds)."""
    command = [ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe")]
    if dll:
        command += ["--dll", dll]
    start = time.time()
    done = subprocess.run(command + ["--json", *args], capture_output=True, timeout=60)
    elapsed = time.time() - start
    out = done.stdout.decode("utf-8", "replace").strip()
    return done.returncode, json.loads(out) if out else None, done.stderr.decode(), elapsed


class EverySubcommand(unittest.TestCase):
    def test_each_export_reaches_the_service_and_reports_its_status(self):
        # subcommand and operands; the request the service logs; the status it answers.
        rows = [
            (["start", "1"], 1, "StartJob", "", 0),
            (["start", "1"], 1, "StartJob", "", 5023),
            (["cancel", "1"], 1, "CancelJob", "", 0),
            (["restart", "1"], 1, "RestartJob", "", 0),
            (["cancel", "1"], 1, "CancelJob", "", 0),
            (["delete", "1"], 1, "DeleteJob", "", 0),
            (["delete", "1"], 1, "DeleteJob", "", 1168),
            (["set-state", "2", "off"], 2, "ChangeJobState", "false", 0),
            (["start", "2"], 2, "StartJob", "", 5023),
            (["set-state", "2", "on"], 2, "ChangeJobState", "true", 0),
            (["start-on-boot"], -1, "StartJobOnBoot", "", 0),
            (["priority", "-3"], -3, "SetProcessPriority", "", 0),
            (["delete-file", "3"], 3, "DeleteJobFile", "", 0),
            (["delete-file-by-name", "C:\\tmp\\a b.txt"], -1, "DeleteJobFileByName",
             "C:\\tmp\\a b.txt", 0),
            (["delete-profile", "3"], 3, "DeleteJobProfile", "", 0),
            (["mig", "40", "C:\\mig.cfg"], 40, "StartMigJob", "C:\\mig.cfg", 0),
            (["sync", "41", "a;b", "c|d"], 41, "StartSyncJob", "a;b|c|d", 0),
            (["run-as-admin", "notepad.exe /p x"], -1, "RunProcAsAdmin", "notepad.exe /p x", 0),
        ]
        with DevService() as service:
            for args, job, name, param, status in rows:
                code, result, err, _ = jobctl(*args)
                self.assertEqual(result["status"], status, (args, err))
                self.assertEqual(code, exit_status(status), args)
                self.assertEqual(result["export"], name, args)
            logged = service.requests()
            self.assertEqual(service.stop(), 0)
        self.assertEqual(
            [(r["job"], r["command"], r["param"], r["status"]) for r in logged],
            [(job, name, param, status) for _, job, name, param, status in rows])

    def test_text_output_names_the_call_and_guesses_the_system_text(self):
        with DevService():
            done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "delete",
                                   "99"], capture_output=True, timeout=60)
        out = done.stdout.decode()
        self.assertIn("DeleteJob(99): status 1168", out)
        self.assertIn("if this is a system error code:", out)
        self.assertEqual(done.returncode, exit_status(1168))


class Editions(unittest.TestCase):
    def test_edition_2_refuses_sync_plainly(self):
        code, result, err, _ = jobctl("sync", "3", "a", "b", dll=ARGS.edition2_dll)
        self.assertEqual(code, 2)
        self.assertIsNone(result)
        self.assertIn("StartSyncJob is not exported by Velmora.dll 2.0.0.29", err)

    def test_info_lists_each_editions_exports(self):
        _, info3, _, _ = jobctl("info")
        self.assertEqual((info3["edition"], info3["version"]), (3, "3.0.0.85"))
        self.assertEqual(len(info3["exports"]), 15)
        _, info2, _, _ = jobctl("info", dll=ARGS.edition2_dll)
        self.assertEqual((info2["edition"], info2["version"]), (2, "2.0.0.29"))
        self.assertEqual(sorted(info2["missing"]),
                         ["RunProcAsAdmin", "StartMigJob", "StartSyncJob"])


class Failures(unittest.TestCase):
    def test_bounded_call_to_a_slow_service_is_cancelled(self):
        with DevService("--delay", "6000"):
            code, result, _, elapsed = jobctl("--timeout", "1", "start", "1")
        self.assertEqual(result["status"], 995)
        self.assertTrue(result["timedOut"])
        self.assertEqual(code, exit_status(995))
        self.assertLess(elapsed, 5)

    def test_time_up_while_connecting_reports_the_calls_own_status(self):
        # Sleeping between connect attempts is not I/O: the call ends on its own after ~2 s.
        _, result, _, elapsed = jobctl("--timeout", "0.5", "start", "1")
        self.assertEqual(result["status"], 2)
        self.assertFalse(result["timedOut"])
        self.assertGreater(elapsed, 1.8)

    def test_no_service_gives_2_after_about_two_seconds(self):
        code, result, _, elapsed = jobctl("start", "1")
        self.assertEqual((code, result["status"]), (2, 2))
        self.assertGreater(elapsed, 1.8)
        self.assertLess(elapsed, 6)

    def test_hangup_service_makes_the_call_fail(self):
        with DevService("--hangup"):
            _, result, _, _ = jobctl("start", "1")
        self.assertIn(result["status"], (109, 233))

    def test_usage_errors_exit_2_without_calling(self):
        for args in (["start"], ["start", "x"], ["launch", "1"], ["--timeout", "0", "start", "1"]):
            code, result, err, _ = jobctl(*args)
            self.assertEqual(code, 2, args)
            self.assertIsNone(result, args)
            self.assertIn("jobctl --help", err, args)

    def test_unloadable_dll_reports_the_load_error(self):
        code, _, err, _ = jobctl("start", "1", dll="C:\\nowhere\\Velmora.dll")
        self.assertIn("cannot load", err)
        self.assertNotEqual(code, 0)


def parallel_jobctl(argument_lists):
    """Runs several jobctl processes at once; returns their JSON results and the wall time."""
    start = time.time()
    processes = [subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "--json",
                                   *args], stdout=subprocess.PIPE) for args in argument_lists]
    results = [json.loads(p.communicate(timeout=60)[0]) for p in processes]
    return results, time.time() - start


class Concurrency(unittest.TestCase):
    def test_connections_are_served_at_once_with_instances_added_as_needed(self):
        with DevService("--delay", "1500"):
            results, elapsed = parallel_jobctl([["priority", str(n)] for n in range(6)])
        self.assertEqual([r["status"] for r in results], [0] * 6)
        self.assertLess(elapsed, 6)  # six 1.5 s replies one after another would take 9 s

    def test_a_single_busy_instance_is_waited_for_and_reused(self):
        with DevService("--delay", "1500", "--single") as service:
            results, elapsed = parallel_jobctl([["start", "1"], ["start", "2"]])
            logged = service.requests()
        self.assertEqual(sorted(r["status"] for r in results), [0, 0])
        self.assertEqual(sorted(r["job"] for r in logged), [1, 2])
        self.assertGreater(elapsed, 2.9)  # the second caller waited for the first


class ServiceLifetime(unittest.TestCase):
    def test_max_requests_ends_the_service(self):
        with DevService("--max-requests", "2", "--single") as service:
            jobctl("start", "1")
            jobctl("start", "2")
            self.assertEqual(service.process.wait(timeout=20), 0)
            self.assertIn("stopped after 2 requests", service.output())

    def test_ctrl_c_stops_the_service_cleanly(self):
        with DevService() as service:
            self.assertEqual(service.stop(), 0)
            self.assertIn("stopped after 0 requests", service.output())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--edition2-dll", required=True)
    parser.add_argument("--wine", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
