#!/usr/bin/env python3
"""jobctl against velmora-devservice, both under Wine: every subcommand end to end, the
missing export of edition 2, the bounded call, the absent service, and stopping the service.

  tools_e2e.py --bin BUILD/bin --edition2-dll PATH --other-dll PATH --wine scripts/wine-run.sh
"""
import argparse
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree

ARGS = None


def exit_status(code):
    """What a Unix parent sees of a Windows exit code: its low 8 bits."""
    return code & 0xFF


class DevService:
    """velmora-devservice running in the background, stopped with Ctrl+C (SIGINT). It is ready
    once its control pipe answers `ping` (with --no-control, once it says "serving"). Its output
    comes through a pipe that a thread here drains, so nothing the harness reads can move where
    the service writes."""

    def __init__(self, *options):
        self.log = tempfile.NamedTemporaryFile(suffix=".jsonl", delete=False).name
        self._out = bytearray()
        self._out_lock = threading.Lock()
        self.process = subprocess.Popen(
            [ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"), "--log",
             self.log, *options], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL)
        self._reader = threading.Thread(target=self._drain, daemon=True)
        self._reader.start()
        self.control = None if "--no-control" in options else (
            options[options.index("--control") + 1] if "--control" in options
            else "velmora-devservice")
        try:
            if self.control is None:
                self._wait_for("serving")
            else:
                self._wait_for_ping(self.control)
        except BaseException:  # a ping's time limit too, not only a failed wait
            self.stop()  # a service left running would hold the pipe for every later case
            raise

    def _drain(self):
        for chunk in iter(lambda: self.process.stdout.read1(65536), b""):
            with self._out_lock:
                self._out += chunk
        self.process.stdout.close()

    def _wait_for_ping(self, control, seconds=30):
        deadline = time.time() + seconds
        while time.time() < deadline and self.process.poll() is None:
            if ctl("--control", control, "ping")[0] == 0:
                return
            time.sleep(0.05)
        raise AssertionError(f"devservice never answered ping on {control}: {self.output()}")

    def _wait_for(self, text, seconds=20):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if text in self.output():
                return
            if self.process.poll() is not None:
                self._reader.join(5)  # what it wrote before it ended
                if text in self.output():
                    return
                break
            time.sleep(0.05)
        raise AssertionError(f"devservice never printed {text!r}: {self.output()}")

    def output(self):
        with self._out_lock:
            return bytes(self._out).decode("utf-8", "replace")

    def journal(self):
        with open(self.log, "rb") as raw:
            return raw.read()

    def requests(self):
        """The journal file's request lines, once it holds every request the service says it
        has read: a thread of the service's own writes the file, a moment after each read."""
        read = 0
        if self.control and self.process.poll() is None:
            read = ctl_json("--control", self.control, "ping")[1].get("requests", 0)
        deadline = time.time() + 10
        while True:
            whole = self.journal().decode("utf-8").split("\n")[:-1]  # a line under way aside
            entries = list(map(json.loads, whole))
            lines = [entry for entry in entries if entry["event"] == "request"]
            # The service counts its requests from its last reset of the journal.
            restarts = [i for i, entry in enumerate(entries)
                        if entry["event"] == "reset" and entry.get("journal")]
            since = entries[restarts[-1]:] if restarts else entries
            if sum(e["event"] == "request" for e in since) >= read or time.time() > deadline:
                return lines
            time.sleep(0.05)

    def verify(self, *conditions):
        """Runs velmora-devservice verify on this service's journal: (exit status, output)."""
        return DevService.verify_file(self.log, *conditions)

    @staticmethod
    def verify_file(log, *conditions):
        done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"),
                               "verify", "--log", log, *conditions], capture_output=True,
                              timeout=60)
        return done.returncode, done.stdout.decode() + done.stderr.decode()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            code = self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()  # never left holding the pipe for the cases after
            self.process.wait()
            raise
        self._reader.join(5)  # the last lines it wrote
        if os.path.exists(self.log):
            os.unlink(self.log)
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def skipped_under_emulation(reason):
    """A case skipped under emulation (--emulated: the QEMU guest, where each Wine start alone
    takes seconds); the x86_64 build and a machine that runs 32-bit code check it natively."""
    def decorate(test):
        def run(case):
            if ARGS.emulated:
                case.skipTest(reason)
            test(case)
        run.__name__ = test.__name__
        return run
    return decorate


# Cases that hold time budgets or race a service's delay.
timed = skipped_under_emulation("time budgets are not measured under emulation")
# Cases about the service's own wiring, the same code on both architectures, at several Wine
# starts: left out of the guest to keep its time in bounds.
natively = skipped_under_emulation("the service's wiring is checked natively")


def fewer_under_emulation(rows, kept):
    """A table's rows, only its first `kept` under emulation (each Wine start takes seconds
    there): those take the same paths through the i686 build as the rest, a refusal thrown and
    caught; the x86_64 build and a machine that runs 32-bit code check every row."""
    return rows[:kept] if ARGS.emulated else rows


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
            self.assertNotIn(b"\r\n", service.journal())
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
        self.assertNotIn("most likely", out)  # 1168 is the service's own
        self.assertIn("if this is a system error code:", out)
        self.assertEqual(done.returncode, exit_status(1168))


class Editions(unittest.TestCase):
    def test_edition_2_refuses_sync_plainly(self):
        code, result, _, _ = jobctl("sync", "3", "a", "b", dll=ARGS.edition2_dll)
        self.assertEqual(code, exit_status(127))
        self.assertEqual((result["error"], result["exitCode"]), ("export", 127))
        self.assertIn("StartSyncJob is not exported by", result["message"])
        self.assertIn("(Velmora 2.0.0.29)", result["message"])

    def test_info_lists_each_editions_exports(self):
        _, info3, _, _ = jobctl("info")
        self.assertEqual((info3["edition"], info3["version"]), (3, "3.0.0.85"))
        self.assertEqual(len(info3["exports"]), 15)
        _, info2, _, _ = jobctl("info", dll=ARGS.edition2_dll)
        self.assertEqual((info2["edition"], info2["version"]), (2, "2.0.0.29"))
        self.assertEqual(sorted(info2["missing"]),
                         ["RunProcAsAdmin", "StartMigJob", "StartSyncJob"])

    def test_info_shows_a_path_longer_than_max_path_whole(self):
        folder = tempfile.mkdtemp()
        deep = os.path.join(folder, *(["a-folder-name-of-forty-characters-each-x"] * 7))
        os.makedirs(deep)
        shutil.copy(os.path.join(ARGS.bin, "Velmora.dll"), deep)
        try:
            dll = "Z:" + os.path.join(deep, "Velmora.dll").replace("/", "\\")
            self.assertGreater(len(dll), 300)
            code, info, _, _ = jobctl("info", dll=dll)
            self.assertEqual(code, 0)
            self.assertEqual((info["dll"].lower(), info["version"], info["edition"]),
                             (dll.lower(), "3.0.0.85", 3))
        finally:
            shutil.rmtree(folder)

    def test_info_says_when_a_dll_is_not_velmora(self):
        code, info, _, _ = jobctl("info", dll="C:\\windows\\system32\\kernel32.dll")
        self.assertEqual(code, exit_status(127))
        self.assertEqual((info["velmora"], info["edition"]), (False, None))


class Failures(unittest.TestCase):
    @timed
    def test_bounded_call_to_a_slow_service_is_cancelled(self):
        with DevService("--delay", "6000"):
            code, result, _, elapsed = jobctl("--timeout", "1", "start", "1")
        self.assertEqual(result["status"], 995)
        self.assertTrue(result["timedOut"])
        self.assertTrue(result["mayHaveActed"])
        self.assertEqual(code, exit_status(995))
        self.assertLess(elapsed, 5)

    @timed
    def test_time_up_while_connecting_reports_the_calls_own_status(self):
        # Sleeping between connect attempts is not I/O: the call ends on its own after ~2 s.
        _, result, _, elapsed = jobctl("--timeout", "0.5", "start", "1")
        self.assertEqual(result["status"], 2)
        self.assertFalse(result["timedOut"])
        self.assertGreater(elapsed, 1.8)

    @timed
    def test_no_service_gives_2_after_about_two_seconds(self):
        code, result, _, elapsed = jobctl("start", "1")
        self.assertEqual((code, result["status"]), (2, 2))
        self.assertGreater(elapsed, 1.8)
        self.assertLess(elapsed, 6)

    def test_hangup_service_makes_the_call_fail_and_may_have_acted(self):
        with DevService("--hangup") as service:
            _, result, _, _ = jobctl("start", "1")
            logged = service.requests()
        self.assertIn(result["status"], (109, 233))
        self.assertTrue(result["mayHaveActed"])
        self.assertIn("may already have acted", result["meaning"])
        self.assertEqual(len(logged), 1)  # and it had: the service carried the request out

    def test_usage_errors_exit_1639_without_calling(self):
        for args in (["start"], ["start", "x"], ["launch", "1"], ["--timeout", "0", "start", "1"],
                     ["--dll", "", "start", "1"]):
            code, result, _, _ = jobctl(*args)
            self.assertEqual(code, exit_status(1639), args)
            self.assertEqual((result["error"], result["exitCode"]), ("usage", 1639), args)
        done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "start"],
                              capture_output=True, timeout=60)
        self.assertEqual(done.returncode, exit_status(1639))
        self.assertEqual(done.stdout, b"")
        self.assertIn("jobctl --help", done.stderr.decode())

    def test_help_of_each_kind_answers_and_a_bare_jobctl_shows_the_usage(self):
        jobctl_exe = os.path.join(ARGS.bin, "jobctl.exe")
        devservice = os.path.join(ARGS.bin, "velmora-devservice.exe")
        rows = [  # command, exit status, text on stdout, text on stderr
            ([jobctl_exe, "start", "--help"], 0, "usage: jobctl [OPTIONS] start JOB", ""),
            ([jobctl_exe, "/?"], 0, "Usage: jobctl [OPTIONS] [SUBCOMMAND]", ""),
            ([jobctl_exe], exit_status(1639), "", "Usage: jobctl [OPTIONS] [SUBCOMMAND]"),
            ([devservice, "/?"], 0, "Usage: velmora-devservice [OPTIONS]", ""),
        ]
        for command, code, out, err in rows:
            done = subprocess.run([ARGS.wine, *command], capture_output=True, timeout=60)
            self.assertEqual(done.returncode, code, command)
            self.assertIn(out, done.stdout.decode(), command)
            self.assertIn(err, done.stderr.decode(), command)

    def test_unloadable_dll_exits_1157(self):
        code, result, _, _ = jobctl("start", "1", dll="C:\\nowhere\\Velmora.dll")
        self.assertEqual(code, exit_status(1157))
        self.assertEqual(result["error"], "load")
        self.assertIn("cannot load", result["message"])

    def test_a_dll_of_the_other_bitness_is_named_so(self):
        if not os.path.exists(ARGS.other_dll):
            self.skipTest("no DLL of the other architecture at " + ARGS.other_dll)
        code, result, _, _ = jobctl("start", "1", dll=ARGS.other_dll)
        self.assertEqual(code, exit_status(1157))
        self.assertRegex(result["message"],
                         r"it is not a (64-bit x64|32-bit x86) DLL, which this jobctl needs; "
                         r"for a DLL of the other bitness use that jobctl \(error 193\)")

    def test_a_text_outside_the_ansi_code_page_is_refused_not_sent(self):
        with DevService() as service:
            code, result, _, _ = jobctl("delete-file-by-name", "C:\\\u03a9mega")
            logged = service.requests()
        self.assertEqual(code, exit_status(1113))
        self.assertEqual(result["error"], "text")
        self.assertIn("\u03a9 (U+03A9)", result["message"])
        self.assertEqual(logged, [])

    def test_a_cut_text_is_noted(self):
        with DevService():
            _, result, _, _ = jobctl("delete-file-by-name", "n" * 300)
            _, result2, _, _ = jobctl("delete-file-by-name", "n" * 255, dll=ARGS.edition2_dll)
        self.assertEqual(result["notes"],
                         ["the text is 300 bytes; the library sends its first 259"])
        self.assertEqual(result2["notes"],
                         ["the request text is 264 bytes; edition 2 sends its first 259"])

    def test_quiet_silences_success_only(self):
        quiet = [ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "--quiet"]
        with DevService():
            success = subprocess.run(quiet + ["start", "1"], capture_output=True, timeout=60)
            failure = subprocess.run(quiet + ["delete", "99"], capture_output=True, timeout=60)
        self.assertEqual((success.returncode, success.stdout, success.stderr), (0, b"", b""))
        self.assertEqual((failure.returncode, failure.stdout), (exit_status(1168), b""))
        self.assertIn("DeleteJob(99): status 1168", failure.stderr.decode())

    @timed
    def test_a_call_cancelled_while_waiting_for_a_busy_instance_never_reached_the_service(self):
        with DevService("--delay", "4000", "--single") as service:
            holder = subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "start",
                                       "1"], stdout=subprocess.DEVNULL)
            deadline = time.time() + 20  # until the holder's request has been read
            while not service.requests() and time.time() < deadline:
                time.sleep(0.1)
            _, result, _, _ = jobctl("--timeout", "1", "start", "2")
            holder.wait(timeout=60)
            logged = service.requests()
        self.assertEqual((result["status"], result["timedOut"]), (995, True))
        self.assertFalse(result["mayHaveActed"])
        self.assertIn("its request had not been sent", result["meaning"])
        self.assertEqual([r["job"] for r in logged], [1])


def parallel_jobctl(argument_lists):
    """Runs several jobctl processes at once; returns their JSON results and the wall time."""
    start = time.time()
    processes = [subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "--json",
                                   *args], stdout=subprocess.PIPE) for args in argument_lists]
    results = [json.loads(p.communicate(timeout=60)[0]) for p in processes]
    return results, time.time() - start


class Concurrency(unittest.TestCase):
    @timed
    def test_connections_are_served_at_once_with_instances_added_as_needed(self):
        with DevService("--delay", "1500"):
            results, elapsed = parallel_jobctl([["priority", str(n)] for n in range(6)])
        self.assertEqual([r["status"] for r in results], [0] * 6)
        self.assertLess(elapsed, 6)  # six 1.5 s replies one after another would take 9 s

    @timed
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
            self.assertIn("stopped by the request limit after 2 requests", service.output())

    def test_mistakes_stop_the_start_with_the_reason(self):
        devservice = os.path.join(ARGS.bin, "velmora-devservice.exe")
        rows = [
            (["--jobs", ""], 2, '--jobs: needs a whole number from 0 to 100000, not ""'),
            (["--delay", "soon"], 2, '--delay: needs a whole number from 0 to 3600000, not "soon"'),
            (["--log", "Z:\\no\\such\\folder\\r.jsonl"], 1,
             "cannot open Z:\\no\\such\\folder\\r.jsonl for appending: No such file"),
            (["--rules", "Z:\\no\\such\\rules.json"], 2, "cannot read Z:\\no\\such\\rules.json"),
            (["--rules", rules_file({"rules": [{"do": "reply"}, {"do": "melt"}]}, pretty=True)], 2,
             'line 7: unknown action "melt"'),
            (["--fault", "partial:2000"], 2,
             '--fault partial:2000: "bytes" must be a whole number from 0 to 1023'),
            (["--log", wine_path(tempfile.gettempdir())], 1, "for appending: it is a folder"),
            (["--rules", wine_path(tempfile.gettempdir())], 2, "it is a folder"),
            (["--single", "--instances", "4"], 2, "excludes"),
        ]
        for args, code, text in fewer_under_emulation(rows, 5):
            done = subprocess.run([ARGS.wine, devservice, *args], capture_output=True, timeout=30)
            self.assertEqual(done.returncode, code, args)
            self.assertIn(text, done.stderr.decode(), args)

    def test_version(self):
        for tool, name in (("velmora-devservice.exe", "velmora-devservice"),
                           ("jobctl.exe", "jobctl")):
            done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, tool), "--version"],
                                  capture_output=True, timeout=30)
            self.assertEqual(done.returncode, 0, tool)
            self.assertEqual(done.stdout.decode().strip(), name + " 3.0.0.85")
            # The program's version block, as info reads any module's.
            _, info, _, _ = jobctl("info", dll=os.path.join(ARGS.bin, tool))
            self.assertEqual((info["version"], info["velmora"]), ("3.0.0.85", False), tool)

    def test_the_log_keeps_its_exact_name_and_utc_times(self):
        folder = tempfile.mkdtemp()
        log = os.path.join(folder, "\u03a9jobs.jsonl")
        process = subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"),
                                    "--log", "Z:" + log.replace("/", "\\"), "--max-requests", "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertIn(b"serving", process.stdout.readline())
        jobctl("start", "1")
        process.stdout.read()
        self.assertEqual(process.wait(timeout=30), 0)
        self.assertEqual(os.listdir(folder), ["\u03a9jobs.jsonl"])
        with open(log, encoding="utf-8") as lines:
            stamp = json.loads(lines.readline())["time"]
        self.assertRegex(stamp, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        logged = time.mktime(time.strptime(stamp[:19], "%Y-%m-%dT%H:%M:%S"))
        self.assertLess(abs(logged - time.mktime(time.gmtime())), 120)

    def test_ctrl_c_stops_the_service_cleanly(self):
        with DevService() as service:
            self.assertEqual(service.stop(), 0)
            self.assertIn("stopped by Ctrl+C after 0 requests", service.output())


def wine_path(path):
    """A Linux path as Wine's programs name it, on the drive Z:."""
    return "Z:" + path.replace("/", "\\")


def rules_file(rules, path=None, pretty=False):
    """Writes a rules file (a new one unless `path` is given); returns its path."""
    if path is None:
        handle, path = tempfile.mkstemp(suffix=".json")
        os.close(handle)
    with open(path + ".new", "w", encoding="utf-8") as out:
        json.dump(rules, out, indent=2 if pretty else None)
    os.replace(path + ".new", path)  # as editors save: the whole file at once
    return path


def closed_pipe(status):
    """The statuses of a call whose service hung up after reading: 109, or 233 under Wine."""
    return status in (109, 233)


class Rules(unittest.TestCase):
    def test_fail_twice_then_succeed_through_both_editions_and_verify_it(self):
        rules = rules_file({"rules": [
            {"name": "start 5 fails twice", "match": {"export": "StartJob", "job": 5},
             "steps": [{"times": 2, "do": "hang-up-after-read"},
                       {"do": "reply", "status": 0, "message": "started"}]}]})
        for dll in (None, ARGS.edition2_dll):
            with DevService("--rules", rules) as service:
                statuses = [jobctl("start", "5", dll=dll)[1]["status"] for _ in range(3)]
                statuses.append(jobctl("start", "6", dll=dll)[1]["status"])
                self.assertTrue(closed_pipe(statuses[0]) and closed_pipe(statuses[1]), statuses)
                self.assertEqual(statuses[2:], [0, 1168], dll)
                if dll is not None and ARGS.emulated:
                    continue  # the journal is the same whichever edition called
                # The journal agrees, and says where it does not.
                agreeing = [("--rule", "start 5 fails twice", "--count", "3"),
                            ("--export", "StartJob", "--job", "5", "--count", "3"),
                            ("--export", "StartJob", "--at-least", "4")]
                for conditions in agreeing:
                    self.assertEqual(service.verify(*conditions)[0], 0, conditions)
                code, said = service.verify("--export", "StartJob", "--job", "5", "--count", "4")
                self.assertEqual(code, 1, said)
                self.assertIn("found 3 request(s) with export StartJob, job 5; expected exactly 4",
                              said)
                self.assertIn("StartJob(6): job 6, not 5", said)  # the nearest miss
        os.unlink(rules)

    def test_one_seed_replays_the_same_outcomes(self):
        rules = rules_file({"seed": 3, "rules": [
            {"name": "coin", "probability": 0.5, "do": "reply", "status": 77}]})
        runs = []
        for _ in range(2):
            # Seed 11 draws 77 then 0: four calls show both outcomes where each start is slow.
            calls = 4 if ARGS.emulated else 12
            with DevService("--rules", rules, "--seed", "11") as service:
                runs.append([jobctl("start-on-boot")[1]["status"] for _ in range(calls)])
                self.assertIn("seed 11", service.output())
                self.assertEqual({r["seed"] for r in service.requests()}, {11})
        self.assertEqual(runs[0], runs[1])
        self.assertEqual(set(runs[0]), {0, 77}, runs[0])
        os.unlink(rules)

    def test_the_file_is_read_again_when_it_changes_and_a_bad_one_is_refused(self):
        rules = rules_file({"rules": [{"do": "reply", "status": 7}]})
        with DevService("--rules", rules) as service:
            self.assertEqual(jobctl("start-on-boot")[1]["status"], 7)
            rules_file({"rules": [{"do": "reply", "status": 8}]}, rules)
            service._wait_for("rule(s) reloaded")
            self.assertEqual(jobctl("start-on-boot")[1]["status"], 8)
            rules_file({"rules": [{"do": "reply", "status": 9}, {"do": "nope"}]}, rules,
                       pretty=True)
            service._wait_for("refused")
            self.assertIn('refused: line 8: unknown action "nope"; the rules before it stay',
                          service.output())
            self.assertEqual(jobctl("start-on-boot")[1]["status"], 8)
        os.unlink(rules)

    @natively
    def test_a_rewrite_with_the_same_bytes_restarts_the_sequences_and_is_journaled(self):
        content = {"rules": [{"name": "once", "steps": [{"times": 1, "do": "reply", "status": 7},
                                                        {"do": "reply", "status": 8}]}]}
        rules = rules_file(content)
        with DevService("--rules", rules) as service:
            self.assertEqual([jobctl("start-on-boot")[1]["status"] for _ in range(2)], [7, 8])
            rules_file(content, rules)
            service._wait_for("rule(s) reloaded")
            self.assertEqual([jobctl("start-on-boot")[1]["status"] for _ in range(2)], [7, 8])
            # The journal, written in the same folder all along, reloaded nothing.
            self.assertEqual(service.output().count("reloaded"), 1)
            service.requests()  # once the file holds every request read: a thread writes it
            events = [json.loads(line)["event"] for line in service.journal().decode().splitlines()]
            self.assertEqual([e for e in events if e == "rules"], ["rules", "rules"])
            # The reload is journaled before the two requests it judged.
            self.assertEqual(events[events.index("rules", 1):].count("request"), 2)
        os.unlink(rules)

    @timed
    def test_a_rule_holds_only_in_its_window(self):
        rules = rules_file({"rules": [{"for_ms": 2000, "do": "reply", "status": 7}]})
        with DevService("--rules", rules):
            started = time.time()
            self.assertEqual(jobctl("start-on-boot")[1]["status"], 7)
            time.sleep(max(0, 2.5 - (time.time() - started)))
            self.assertEqual(jobctl("start-on-boot")[1]["status"], 0)
        os.unlink(rules)

    def test_the_examples_read_and_broken_replies_end_as_documented(self):
        examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "examples", "rules")
        for name in ("retry.json", "outage.json", "busy-first-two.json"):
            with DevService("--rules", os.path.join(examples, name)) as service:
                # Said after "serving", by the console's own thread: waited for, not raced.
                service._wait_for("rule(s) from")
        # job: what the call returns (None: whatever the random bytes decode to).
        expected = {101: closed_pipe, 102: 0, 103: 0, 104: 230, 105: None, 106: closed_pipe,
                    107: 1460, 108: closed_pipe, 109: closed_pipe, 110: 5}
        with DevService("--rules", os.path.join(examples, "broken-replies.json")):
            for job, status in expected.items():
                got = jobctl("start", str(job))[1]["status"]
                if callable(status):
                    self.assertTrue(status(got), (job, got))
                elif status is not None:
                    self.assertEqual(got, status, job)

    def test_a_request_is_journaled_on_arrival_before_its_answer(self):
        with DevService("--fault", "hang", "--client-timeout", "8000") as service:
            caller = subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "--json",
                                       "start", "3"], stdout=subprocess.PIPE)
            deadline = time.time() + 20
            while not service.requests() and time.time() < deadline:
                time.sleep(0.05)
            self.assertIsNone(caller.poll(), "the caller was answered before the journal said")
            self.assertEqual([(r["job"], r["action"]) for r in service.requests()], [(3, "hang")])
            caller.kill()
            caller.communicate()

    def test_fault_presets_take_every_request(self):
        with DevService("--fault", "reply:1460") as service:
            self.assertEqual(jobctl("delete", "1")[1]["status"], 1460)
            self.assertEqual(service.requests()[0]["rule"], "--fault reply:1460")
        with DevService("--fault", "hang-up-after-read"):
            self.assertTrue(closed_pipe(jobctl("start", "1")[1]["status"]))


def refused_rules_files():
    """Rules files the service refuses, (name, bytes, what the refusal says): each once crashed,
    wedged or misread the service."""
    return [
        ("a number too large", b'{"rules": [\n{"do": "reply", "status": 1e400}]}',
         "line 2: 1e400 is too large a number"),
        ("10 000 levels", b'{"rules": [' + b"[" * 10000 + b"]" * 10000 + b"]}",
         "line 1: nested deeper than 32 levels"),
        ("3 000 nested groups",
         b'{"rules": [{"match": {"text": "re:' + b"(" * 3000 + b"a" + b")" * 3000 +
         b'"}, "do": "hang"}]}', "longer than 1024 bytes"),
        ("a NUL byte", b'{"rules": []}\n\x00{"x":1', "line 2: a NUL byte: the file must be text"),
        ("a key twice", b'{"rules": [\n{"do": "reply", "status": 11, "status": 22}]}',
         'line 2: "status" is given twice in one object'),
        ("an unknown action", b'{"rules": [\n{"do": "melt"}]}', 'line 2: unknown action "melt"'),
    ]


def write_bytes(path, data):
    with open(path + ".new", "wb") as out:
        out.write(data)
    os.replace(path + ".new", path)


class OwnInput(unittest.TestCase):
    """The service's own inputs: rules files, patterns, journals and the stop."""

    def test_every_refused_file_is_refused_at_start_and_survived_on_reload(self):
        devservice = os.path.join(ARGS.bin, "velmora-devservice.exe")
        path = rules_file({"rules": []})
        for name, data, said in fewer_under_emulation(refused_rules_files(), 2):
            write_bytes(path, data)
            done = subprocess.run([ARGS.wine, devservice, "--rules", path],
                                  capture_output=True, timeout=60)
            self.assertEqual(done.returncode, 2, name)
            self.assertIn(said, done.stderr.decode(), name)
        rules_file({"rules": [{"do": "reply", "status": 7}]}, path)
        with DevService("--rules", path) as service:
            for count, (name, data, said) in enumerate(refused_rules_files(), 1):
                write_bytes(path, data)
                deadline = time.time() + 20
                while service.output().count("refused: ") < count and time.time() < deadline:
                    time.sleep(0.05)
                self.assertIn(said + "; the rules before it stay", service.output(), name)
            # Still serving by the rules before them, and still stopping on Ctrl+C.
            self.assertEqual(jobctl("start-on-boot")[1]["status"], 7)
            self.assertEqual(service.stop(), 0)
            self.assertIn("stopped by Ctrl+C", service.output())
        os.unlink(path)

    def test_a_pattern_past_its_bound_holds_up_no_caller(self):
        rules = rules_file({"rules": [{"name": "exponential", "match": {"text": "re:(a|a)*b"},
                                       "do": "reply", "status": 7}]})
        with DevService("--rules", rules) as service:
            for _ in range(2):
                status = jobctl("delete-file-by-name", "a" * 250)[1]["status"]
                self.assertNotEqual(status, 7)  # no match: the job table answers
            self.assertEqual(jobctl("start", "1")[1]["status"], 0)
            self.assertEqual(jobctl("delete-file-by-name", "aab")[1]["status"], 7)
            self.assertEqual(service.output().count('rule "exponential": its pattern gave up'), 1)
            service.requests()  # the file holds every line before the last request's
            patterns = [json.loads(line) for line in service.journal().decode().splitlines()
                        if json.loads(line)["event"] == "pattern"]
            self.assertEqual([p["rule"] for p in patterns], ["exponential"])
        os.unlink(rules)

    @natively
    def test_the_journal_is_never_the_rules_file(self):
        folder = tempfile.mkdtemp()
        rules = rules_file({"rules": []}, os.path.join(folder, "r.json"))
        with open(rules, "rb") as file:
            before = file.read()
        devservice = os.path.join(ARGS.bin, "velmora-devservice.exe")
        # The same file by another name: another spelling of its folder.
        other = wine_path(os.path.join(folder, ".", "r.json")).replace("\\", "/")
        done = subprocess.run([ARGS.wine, devservice, "--rules", rules, "--log", other],
                              capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("is the rules file itself", done.stderr.decode())
        with open(rules, "rb") as file:
            self.assertEqual(file.read(), before)
        shutil.rmtree(folder)

    @timed
    def test_a_full_disk_loses_whole_requests_and_says_how_many(self):
        folder = tempfile.mkdtemp()
        if os.geteuid() != 0 or subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", folder]).returncode != 0:
            os.rmdir(folder)
            self.skipTest("no small file system can be mounted here")
        try:
            log = os.path.join(folder, "journal.jsonl")
            process = subprocess.Popen(
                [ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"), "--log",
                 wine_path(log), "--max-requests", "40"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertIn(b"serving", process.stdout.readline())
            for job in range(40):
                jobctl("start", str(job % 5 + 1))
            out, err = process.communicate(timeout=60)
            said = err.decode()
            self.assertIn("the disk is full", said)
            self.assertRegex(said, r"\d+ journal line\(s\) in all were not written")
            with open(log, encoding="utf-8") as journal:
                lines = [json.loads(line) for line in journal]
            kept = {line["seq"] for line in lines if line["event"] == "request"}
            # No outcome line without its request line.
            self.assertTrue({l["seq"] for l in lines if l["event"] == "outcome"} <= kept)
            code, report = DevService.verify_file(wine_path(log), "--at-least", "1")
            self.assertEqual(code, 0, report)
            if max(kept) > len(kept):
                self.assertIn("the journal lacks request(s) #", report)
        finally:
            subprocess.run(["umount", folder])
            os.rmdir(folder)

    @timed
    def test_callers_waiting_for_a_busy_pipe_at_the_stop_hear_a_status_jobctl_explains(self):
        service = DevService("--single", "--fault", "hang", "--client-timeout", "20000")
        try:
            holder = subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"), "--json",
                                       "start", "1"], stdout=subprocess.PIPE)
            deadline = time.time() + 20
            while not service.requests() and time.time() < deadline:
                time.sleep(0.05)
            waiting = [subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "jobctl.exe"),
                                         "--json", "start", "2"], stdout=subprocess.PIPE)
                       for _ in range(4)]
            time.sleep(1.5)  # all four are waiting for the one busy instance
            self.assertEqual(service.stop(), 0)
            for caller in waiting:
                result = json.loads(caller.communicate(timeout=30)[0])
                # Wine's wait returns 676 as the last instance closes; Windows' says 2.
                self.assertIn(result["status"], (676, 2, 121, 231), result)
                self.assertIsNotNone(result["meaning"], result)
                self.assertFalse(result["mayHaveActed"], result)
            holder.kill()
            holder.communicate()
        finally:
            service.__exit__()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--edition2-dll", required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--other-dll", required=True,
                        help="Velmora.dll of the other architecture, if built")
    parser.add_argument("--emulated", action="store_true",
                        help="Wine runs in an emulated machine: skip the time budgets")
    parser.add_argument("--whole-sweeps", action="store_true",
                        help="sweep the example hosts' whole matrices (one architecture does)")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


def ctl(*args, stdin=None):
    """Runs velmora-devservice ctl; returns (exit status, stdout, stderr)."""
    done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"), "ctl",
                           *args], capture_output=True, timeout=60, input=stdin)
    # Its output is text, with Windows' line ends.
    return (done.returncode, done.stdout.decode().replace("\r\n", "\n"),
            done.stderr.decode().replace("\r\n", "\n"))


def ctl_json(*args, stdin=None):
    """ctl --json: (exit status, the answer as an object)."""
    code, out, err = ctl("--json", *args, stdin=stdin)
    return code, json.loads(out) if out.strip() else {"stderr": err}


class Control(unittest.TestCase):
    """A test suite's hold on the service: its control pipe, through ctl."""

    def test_applied_rules_judge_the_very_next_call(self):
        with DevService() as service:
            for i in range(3 if ARGS.emulated else 20):
                code, out, err = ctl("apply", "-", stdin=json.dumps(
                    {"rules": [{"match": {"job": 5}, "do": "reply", "status": 7000 + i}]}).encode())
                self.assertEqual(code, 0, err)
                self.assertRegex(out, r"^1 rule\(s\) in force, seed \d+\n$")
                self.assertEqual(jobctl("start", "5")[1]["status"], 7000 + i)  # no sleep between
            self.assertIn("applied from the control pipe", service.output())

    def test_reset_jobs_journal_and_rules_and_journal_since_gives_the_new_entries(self):
        with DevService("--fault", "reply:1460") as service:
            drawn = ctl_json("ping")[1]["seed"]
            self.assertEqual(ctl_json("apply", "-", stdin=b'{"rules": [], "seed": 5}')[0], 0)
            self.assertEqual(jobctl("start", "1")[1]["status"], 0)
            self.assertEqual(jobctl("start", "1")[1]["status"], 5023)  # it runs already
            code, answer = ctl_json("journal")
            self.assertEqual(code, 0)
            self.assertEqual([e["seq"] for e in answer["entries"] if e["event"] == "request"],
                             [1, 2])
            self.assertEqual(ctl("verify", "--job", "1", "--count", "2")[0], 0)
            code, out, _ = ctl("verify", "--job", "1", "--count", "3")
            self.assertEqual(code, 1)
            self.assertIn("found 2 request(s) with job 1; expected exactly 3", out)
            # Jobs idle, the journal from 1, and the rules the service started with.
            self.assertEqual(ctl("reset")[:2], (0, "done\n"))
            self.assertEqual(ctl_json("ping")[1]["seed"], drawn)  # not the applied 5
            self.assertEqual(jobctl("start", "2")[1]["status"], 1460)
            since = ctl_json("journal")[1]
            self.assertEqual([e["event"] for e in since["entries"]][:3],
                             ["reset", "rules", "request"])
            self.assertEqual(since["entries"][2]["seq"], 1)
            self.assertEqual(ctl_json("apply", "-", stdin=b'{"rules": []}')[0], 0)
            self.assertEqual(jobctl("start", "1")[1]["status"], 0)  # idle again after the reset
            newer = ctl_json("journal", "--since", str(since["next"]))[1]
            self.assertEqual([e["event"] for e in newer["entries"]][:1], ["rules"])
            self.assertEqual([e["job"] for e in newer["entries"] if e["event"] == "request"],
                             [1])
            self.assertEqual(ctl("reset", "--keep-jobs", "--keep-journal")[0], 0)
            self.assertEqual(jobctl("start", "1")[1]["status"], 1460)
            service.requests()  # the reset's line comes before this request's
            self.assertIn('"event":"reset"', service.journal().decode())

    @skipped_under_emulation("a reset's refusal is the same code on each architecture")
    def test_a_reset_whose_rules_file_no_longer_reads_resets_nothing_and_says_why(self):
        rules = rules_file({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})
        with DevService("--rules", rules) as service:
            self.assertEqual(jobctl("start", "1")[1]["status"], 0)
            with open(rules, "w") as broken:
                broken.write('{"rules": [{"do": "x"}]}')
            service._wait_for("refused: line 1: unknown action")  # the reload is refused too
            code, _, err = ctl("reset")
            self.assertEqual(code, 1)
            self.assertIn('line 1: unknown action "x" (nothing was reset)', err)
            self.assertEqual(jobctl("start", "5")[1]["status"], 1460)  # the rules stayed
            self.assertEqual(jobctl("start", "1")[1]["status"], 5023)  # and so did the jobs
        os.unlink(rules)

    @skipped_under_emulation("the control pipe's edges are checked natively")
    def test_refusals_garbage_and_long_lines_leave_both_pipes_serving(self):
        with DevService():
            code, out, err = ctl("apply", "-", stdin=b'{"rules": [{"do": "hang"},\n {"do": "x"}]}')
            self.assertEqual((code, err), (1, 'rule 2: unknown action "x"\n'))
            code, out, err = ctl("apply", "-", stdin=b'{"rules": [], "rules": []}')
            self.assertEqual(code, 3)  # ctl's own refusal: the file never went
            self.assertIn('"rules" is given twice', err)
            long_rules = {"rules": [{"name": "n%d" % i, "do": "hang"} for i in range(40000)]}
            code, out, err = ctl("apply", "-", stdin=json.dumps(long_rules).encode())
            self.assertEqual(code, 1)
            self.assertIn("a line longer than 1048576 bytes; the connection is closed", err)
            garbage = subprocess.run(
                [ARGS.wine, "cmd.exe", "/c", "echo {garbage > \\\\.\\pipe\\velmora-devservice"],
                capture_output=True, timeout=60)
            self.assertEqual(garbage.returncode, 0, garbage.stderr)
            code, _, _, seconds = jobctl("start", "1")
            self.assertEqual(code, 0)
            self.assertLess(seconds, 5)
            # Two control clients at once are both answered.
            both = [subprocess.Popen([ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"),
                                      "ctl", "ping"], stdout=subprocess.PIPE) for _ in range(2)]
            for client in both:
                self.assertEqual(client.wait(timeout=60), 0)
                self.assertIn(b"rule(s), seed", client.stdout.read())
                client.stdout.close()
            self.assertEqual(ctl("--control", "nobody", "ping")[0], 2)
            # ctl's own mistakes exit 3, never 2 (which says no service answers); a leading "/"
            # is a path.
            for args, said in [(("bogus",), 'unknown operation "bogus" (ping, apply'),
                               (("apply", "/no/such/rules.json"), "/no/such/rules.json")]:
                code, _, err = ctl(*args)
                self.assertEqual((code, said in err, "is required" in err), (3, True, False), err)

    def test_a_named_session_covers_the_script_that_holds_it_until_it_ends(self):
        service_exe = wine_path(os.path.join(ARGS.bin, "velmora-devservice.exe"))
        jobctl_exe = wine_path(os.path.join(ARGS.bin, "jobctl.exe"))
        rules = rules_file({"rules": [{"match": {"job": 5}, "do": "reply", "status": 2001}]})
        handle, script = tempfile.mkstemp(suffix=".cmd")
        with os.fdopen(handle, "w") as out:
            # ctl ends at once: the session covers the script that ran it, and what it runs.
            out.write("\r\n".join([
                '@"%s" ctl --session nightly session' % service_exe,
                '@"%s" ctl --session nightly apply "%s"' % (service_exe, wine_path(rules)),
                '@"%s" start 5' % jobctl_exe,
                '@"%s" ctl --session nightly end' % service_exe,
                '@"%s" start 5' % jobctl_exe, ""]))
        with DevService("--fault", "reply:1460") as service:
            done = subprocess.run([ARGS.wine, "cmd.exe", "/c", wine_path(script)],
                                  capture_output=True, timeout=120)
            out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
            self.assertRegex(out, r"^session 1\n1 rule\(s\) in force, seed \d+\n"
                             r"StartJob\(5\): status 2001[^\n]*\n(.*\n)?session 1 ended\n"
                             r"StartJob\(5\): status 1460")
            self.assertEqual([r["session"] for r in service.requests()], [1, None])
            self.assertEqual(ctl("--session", "nightly", "end")[0], 1)  # it is gone
        os.unlink(script)
        os.unlink(rules)

    def test_stop_answers_then_ends_the_service(self):
        with DevService("--control", "velmora-e2e") as service:
            self.assertEqual(ctl("ping")[0], 2)  # not under the default name
            self.assertEqual(ctl("--control", "velmora-e2e", "stop")[:2], (0, "stopping\n"))
            self.assertEqual(service.process.wait(timeout=20), 0)
            self.assertIn("stopped by the control pipe", service.output())
        with DevService("--no-control") as service:
            self.assertEqual(ctl("ping")[0], 2)
            self.assertNotIn("control pipe", service.output())


def sample(name, *args):
    """Runs a host sample from examples/hosts/; returns (exit status, stdout, seconds)."""
    start = time.time()
    done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, "sample-%s.exe" % name), *args],
                          capture_output=True, timeout=120)
    return (exit_status(done.returncode), done.stdout.decode("utf-8", "replace"),
            time.time() - start)


# The samples are the same code on each architecture, run natively on both.
natively_sampled = skipped_under_emulation("the host samples are run natively")


class HostSamples(unittest.TestCase):
    """The host samples shipped in examples/hosts/, each against the service it is about."""

    @natively_sampled
    def test_the_basic_calls_reach_the_service(self):
        with DevService() as service:
            code, out, _ = sample("basic-call")
            self.assertEqual(code, 0, out)
            self.assertEqual(out.replace("\r", ""), "StartJob(5): 0\nStartJobOnBoot: 0\n"
                             "StartSyncJob(3): 0\n")
            self.assertEqual([(r["command"], r["param"]) for r in service.requests()],
                             [("StartJob", ""), ("StartJobOnBoot", ""),
                              ("StartSyncJob", "C:\\in|D:\\out")])

    @natively_sampled
    def test_a_bounded_call_returns_995_at_its_limit(self):
        with DevService("--fault", "hang", "--client-timeout", "60000") as service:
            code, out, seconds = sample("bounded-call", "1000")
            self.assertEqual((code, out.strip()), (1, "StartJob(5): 995"))
            self.assertLess(seconds, 6)  # a second's limit, and Wine's start
            self.assertEqual(len(service.requests()), 1)  # it was written all the same

    @natively_sampled
    def test_the_retry_loop_repeats_only_what_was_not_sent(self):
        rows = [
            # the service's rules; exit status; what it prints; requests the service read
            ({"rules": [{"for_ms": 2500, "do": "absent"}]}, 0, r"not sent: trying again\n.*"
             r"StartJob\(5\): 0 after [23] attempt\(s\)", 1),
            ({"rules": [{"do": "hang-up-after-read"}]}, 2,
             r"StartJob\(5\): (109|233), the service may have acted: not repeated", 1),
            ({"rules": [{"do": "reply", "status": 1460}]}, 1,
             r"StartJob\(5\): 1460 after 1 attempt\(s\)", 1),
        ]
        for rules, status, says, requests in rows:
            path = rules_file(rules)
            with DevService("--rules", path) as service:
                code, out, _ = sample("retry-call", "5")
                self.assertEqual(code, status, out)
                self.assertRegex(out.replace("\r", ""), says)
                self.assertEqual(len(service.requests()), requests, out)
            os.unlink(path)


def sweep(*args, timeout=900):
    """Runs velmora-devservice sweep into a new folder; returns (exit status, stdout, stderr,
    report.json or None, the folder)."""
    folder = tempfile.mkdtemp(prefix="sweep-")
    done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, "velmora-devservice.exe"), "sweep",
                           "--out", wine_path(folder), *args], capture_output=True,
                          timeout=timeout)
    path = os.path.join(folder, "report.json")
    report = None
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
    return (exit_status(done.returncode), done.stdout.decode("utf-8", "replace"),
            done.stderr.decode("utf-8", "replace"), report, folder)


def host_path(name):
    return wine_path(os.path.join(ARGS.bin, name))


def cells(report):
    """{(call, fault): run} of a sweep's report."""
    return {(run["call"], run["fault"]): run for run in report["runs"]}


def replay(folder, run, host, seconds):
    """A run again, by hand: the service with the run's rules file, then the host. Returns
    (exit status or None when it was still running after `seconds`, its output)."""
    # No debugger for a crash: Wine's would start, and may hang.
    env = dict(os.environ, WINEDLLOVERRIDES="winedbg.exe=d")
    with DevService("--rules", os.path.join(folder, run["repro"])):
        try:
            done = subprocess.run([ARGS.wine, os.path.join(ARGS.bin, host)],
                                  capture_output=True, timeout=seconds, env=env)
        except subprocess.TimeoutExpired as expired:
            subprocess.run([ARGS.wine, "taskkill", "/f", "/im", host], capture_output=True)
            return None, (expired.stdout or b"").decode("utf-8", "replace")
    return exit_status(done.returncode), done.stdout.decode("utf-8", "replace")




def whole_sweeps(test):
    """The example hosts' whole matrices: 22 runs each, about a minute, made for one
    architecture (--whole-sweeps); elsewhere the reduced sweep stands for them."""
    def run(case):
        if not ARGS.whole_sweeps:
            case.skipTest("the whole sweeps run in the x86_64 build")
        test(case)
    run.__name__ = test.__name__
    return run

def sweep_example(host, timeout):
    """The whole sweep of an example host, as the archive's README shows it."""
    return sweep("--timeout", str(timeout), "--client-timeout", "1000", "--seed", "7", "--",
                 host_path(host))


# The careful host sends these again; the service carried out the request under the first two
# (their steps leave the status to the job table), so the host's second call repeats it.
CARRIED_OUT_UNANSWERED = ["partial:100", "empty:forever"]
NOT_CARRIED_OUT_UNANSWERED = ["hang-up-after-read", "hang", "busy", "absent",
                              "hang-up-before-read"]


class Sweep(unittest.TestCase):
    """velmora-devservice sweep over the example hosts in examples/sweep/."""

    @whole_sweeps
    def test_the_careless_host_crashes_on_1168_hangs_on_busy_and_absorbs_the_rest(self):
        code, out, err, report, folder = sweep_example("sweep-careless-host.exe", 8)
        self.assertEqual(code, 1, err)
        self.assertEqual([c["export"] + "(%d)" % c["job"] for c in report["baseline"]["calls"]],
                         ["StartJob(5)", "CancelJob(5)"])
        self.assertEqual(len(report["runs"]), 22)
        self.assertEqual([r["id"] for r in report["runs"] if r["diverged"]], [])  # deterministic
        for (call, fault), run in cells(report).items():
            wanted = {"reply:1168": "crashed", "busy": "hung"}.get(fault, "absorbed")
            self.assertEqual(run["verdict"], wanted, "call %d, %s: %s" % (call, fault, run))
            if wanted == "crashed":
                self.assertEqual(run["exception"], "0xC0000005 in sweep-careless-host.exe")
                self.assertIsNone(run["exit"])
            self.assertTrue(os.path.exists(os.path.join(folder, run["output"])))
        self.assertRegex(out, r"careless_host\.c:\d+ StartJob\(5\), call 1 ")
        self.assertRegex(out, r"careless_host\.c:\d+ CancelJob\(5\), call 2 +absorbed")
        self.assertIn("run 22 of 22", err)
        # By hand, from their rules files: the crash and the hang again.
        crashed = cells(report)[(1, "reply:1168")]
        status, output = replay(folder, crashed, "sweep-careless-host.exe", 30)
        self.assertEqual(status, 0xC0000005 & 0xFF, output)  # what a shell sees of the code
        self.assertIn("StartJob(5): 1168", output)
        self.assertNotIn("CancelJob", output)  # it died at the first status
        self.assertIsNone(replay(folder, cells(report)[(2, "busy")], "sweep-careless-host.exe",
                                 15)[0])
        self.page_is_a_matrix(folder, report)
        self.junit_fails_what_the_sweep_fails_on(folder, report, "sweep-careless-host")

    @whole_sweeps
    def test_the_careful_host_retries_what_got_no_answer_and_reports_refusals(self):
        code, out, err, report, folder = sweep_example("sweep-careful-host.exe", 20)
        self.assertEqual(code, 1, err)  # the repeated runs
        for (call, fault), run in cells(report).items():
            self.assertEqual(run["carried_out"], fault in CARRIED_OUT_UNANSWERED, run)
            if fault in CARRIED_OUT_UNANSWERED:
                wanted, exit_code = "repeated", 0
            elif fault in NOT_CARRIED_OUT_UNANSWERED:
                wanted, exit_code = "retried", 0
            elif fault == "garbled":
                # Seed 7's bytes decode to 0 for StartJob(5), which was not carried out: the
                # host takes the job for started, and its cancel then fails.
                wanted, exit_code = ("reported", 3) if call == 1 else ("absorbed", 0)
            else:
                wanted, exit_code = "reported", call + 1  # 2: the start failed, 3: the cancel
            self.assertEqual((run["verdict"], run["exit"]), (wanted, exit_code),
                             "call %d, %s: %s" % (call, fault, run))
        status, _ = replay(folder, cells(report)[(1, "reply:87")], "sweep-careful-host.exe", 30)
        self.assertEqual(status, 2)
        self.junit_fails_what_the_sweep_fails_on(folder, report, "sweep-careful-host")

    @skipped_under_emulation("the verdicts are decided alike on each architecture")
    def test_a_persisting_fault_finds_a_retry_without_end(self):
        # Held from call 1 on, the fault meets every try: a host that gives up after its fourth
        # is reported; one that tries until it succeeds is still at it when the time runs out.
        rows = [(["--", host_path("sweep-careful-host.exe")], "reported"),
                (["--", host_path("sweep-test-host.exe"), "untilok"], "looped")]
        for args, wanted in rows:
            code, _, err, report, folder = sweep("--persist", "--timeout", "4", "--calls", "1",
                                                 "--faults",
                                                 "hang-up-after-read,hang-up-before-read",
                                                 *args)
            self.assertEqual(code, 1 if wanted == "looped" else 0, err)
            self.assertTrue(report["persist"])
            for run in report["runs"]:
                self.assertEqual(run["verdict"], wanted, run)
                if wanted == "looped":
                    self.assertGreaterEqual(run["repeats"], 10, run)
                else:
                    self.assertEqual(run["repeats"], 3, run)  # its four tries
            with open(os.path.join(folder, "repro", "001.json")) as rules:
                self.assertNotIn("times", json.load(rules)["rules"][0]["steps"][-1])

    @skipped_under_emulation("runs side by side are routed alike on each architecture")
    def test_runs_side_by_side_meet_and_make_what_they_make_one_at_a_time(self):
        # Four hosts at once, each in a session of its own, and a pipe fault alone: a run that
        # met another's rule, counted its calls or shared its jobs would change a cell.
        reports = []
        for parallel in ("1", "4"):
            code, _, err, report, _ = sweep(
                "--parallel", parallel, "--client-timeout", "1000", "--calls", "2-4", "--faults",
                "reply:87,hang,partial:100,hang-up-before-read,absent", "--",
                host_path("sweep-test-host.exe"), "calls", "6")
            self.assertEqual(code, 0, err)
            self.assertIn("up to %s at once" % parallel, err)
            reports.append([(r["call"], r["fault"], r["verdict"], r["requests"], r["reached"])
                            for r in report["runs"]])
        self.assertEqual(len(reports[1]), 15)
        self.assertEqual(reports[1], reports[0])
        self.assertEqual({r[2] for r in reports[1]}, {"absorbed"})  # the host ignores statuses

    @natively
    def test_a_chosen_call_and_faults_and_a_child_that_outlives_its_host(self):
        ticks = tempfile.NamedTemporaryFile(delete=False).name
        code, out, err, report, folder = sweep(
            "--calls", "1", "--faults", "reply:87,reply:87,hang-up-after-read", "--",
            host_path("sweep-test-host.exe"), "child", wine_path(ticks))
        self.assertEqual(code, 0, err)
        self.assertEqual([(r["call"], r["fault"]) for r in report["runs"]],
                         [(1, "reply:87"), (1, "hang-up-after-read")])
        with open(os.path.join(folder, "repro", "002.json")) as rules:
            self.assertEqual(json.load(rules)["rules"][0]["steps"],
                             [{"times": 1, "do": "hang-up-after-read"}])
        # Each run's child was ended with it: nothing ticks any more.
        size = os.path.getsize(ticks)
        time.sleep(1)
        self.assertEqual(os.path.getsize(ticks), size)
        os.unlink(ticks)

    @natively
    def test_rows_are_the_hosts_call_sites_and_each_is_faulted_once(self):
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sweep_test_host.c")
        with open(source) as f:
            marked = {m.group(1): n for n, line in enumerate(f, 1)
                      for m in [re.search(r"/\* site: (\w+) \*/", line)] if m}
        other = os.path.join(os.path.dirname(ARGS.other_dll), "..", "bin", "sweep-test-host.exe")
        rows = [
            # host, --every-call; the line of each call (None: no site), and the calls faulted
            ("sweep-test-host.exe", False,
             [marked["loop"]] * 3 + [marked["once"], marked["thread"], marked["last"]],
             [1, 4, 5, 6]),
            ("sweep-test-host.exe", True, None, [1, 2, 3, 4, 5, 6]),
        ]
        if ARGS.bin.rstrip("/").endswith("win64/bin") and os.path.exists(other):
            # A 32-bit host under the 64-bit sweep is not traced: a row per call.
            rows.append((wine_path(other), False, [None] * 6, [1, 2, 3, 4, 5, 6]))
        for host, every, lines, faulted in rows:
            code, out, err, report, _ = sweep(
                *(["--every-call"] if every else []), "--faults", "reply:87", "--",
                host if "\\" in host else host_path(host), "sites")
            self.assertEqual(code, 0, err)
            self.assertEqual([r["call"] for r in report["runs"]], faulted, (host, every))
            calls = report["baseline"]["calls"]
            if lines is not None:
                self.assertEqual([c["site"] and c["site"]["line"] for c in calls], lines, host)
            for call, run in ((c, r) for r in report["runs"] for c in [calls[r["call"] - 1]]):
                self.assertEqual(run["site"], call["site"])
            if lines and lines[0]:
                self.assertEqual(calls[4]["site"]["function"], "SecondThread")
                self.assertTrue(calls[0]["site"]["file"].endswith("sweep_test_host.c"))
                self.assertIn("sweep_test_host.c:%d StartJob(1), calls 1-3 " % marked["loop"],
                              out)
        # Without debug information: the module and the return address's offset.
        code, out, err, report, _ = sweep("--faults", "reply:87", "--",
                                          host_path("sample-basic-call.exe"))
        site = report["baseline"]["calls"][0]["site"]
        self.assertEqual((site["module"], site["file"], site["line"]),
                         ("sample-basic-call.exe", None, None))
        self.assertIn("sample-basic-call.exe+0x%x StartJob(5), call 1 " % site["offset"], out)

    @natively
    def test_a_pipe_fault_reaches_exactly_its_call_however_late_it_comes(self):
        def statuses(folder, run):
            with open(os.path.join(folder, run["output"])) as f:
                return [line.rsplit(": ", 1)[1].strip() for line in f if ": " in line]
        rows = [
            # mode, the call; each run's statuses, by fault. A loop's next call, at once, finds
            # the pipe served again; a call that comes 3.5 s late meets the fault all the same.
            ("sites", 2, {"busy": ["0", "121", "5023", "0", "0", "0"],
                          "absent": ["0", "2", "5023", "0", "0", "0"]}),
            ("slow", 2, {"busy": ["0", "121"], "absent": ["0", "2"]}),
        ]
        for mode, call, wanted in rows:
            seen = []
            for _ in range(2 if mode == "sites" else 1):  # the same statuses on a replay
                code, _, err, report, folder = sweep(
                    "--every-call", "--calls", str(call), "--faults", "busy,absent", "--",
                    host_path("sweep-test-host.exe"), mode)
                self.assertEqual(code, 0, err)
                for run in report["runs"]:
                    self.assertEqual(run["reached"], [call], (mode, run))
                    with open(os.path.join(folder, run["repro"])) as f:
                        self.assertIn("timed, not exact", json.load(f)["comment"])
                seen.append({r["fault"]: statuses(folder, r) for r in report["runs"]})
            for got in seen:
                self.assertEqual(got, wanted, mode)

    @natively
    def test_a_host_that_floods_its_output_or_names_odd_texts_has_its_report(self):
        code, out, err, report, folder = sweep("--calls", "1", "--faults", "reply:87", "--",
                                               host_path("sweep-test-host.exe"), "flood", "3")
        self.assertEqual(code, 0, err)
        for name, cut in (("baseline", report["baseline"]["output_cut"]),
                          ("001", report["runs"][0]["output_cut"])):
            with open(os.path.join(folder, "runs", name + ".out"), "rb") as f:
                kept = f.read()
            note = ("\n[velmora-devservice sweep: the output was cut here, at 1048576 bytes; "
                    "%d more byte(s) not kept]\n" % cut).encode()
            self.assertGreater(cut, 2 << 20, name)  # 3 MiB and the call's line, less 1 MiB
            self.assertEqual(kept, b"x" * (1 << 20) + note, name)
        # A text in the host's code page, its label cut where a character would be split: the
        # report is written all the same.
        code, out, err, report, _ = sweep("--calls", "1", "--faults", "reply:87", "--",
                                          host_path("sweep-test-host.exe"), "accents")
        self.assertEqual(code, 0, err)
        self.assertEqual(report["baseline"]["calls"][0]["text"], "a" * 36 + "\u00e9" * 5)
        self.assertIn(' DeleteJobFileByName(-1, "%s..."), call 1 ' % ("a" * 36), out)

    @skipped_under_emulation("the verdict is decided alike on each architecture")
    def test_a_fault_that_no_call_met_is_not_met(self):
        # The host makes two calls in the baseline and one after: call 2's fault meets nothing,
        # and the run's exit code, the baseline's, must not pass for the fault absorbed.
        made = tempfile.mktemp()
        code, out, err, report, _ = sweep("--calls", "2", "--faults", "reply:87", "--",
                                          host_path("sweep-test-host.exe"), "fewer",
                                          wine_path(made))
        os.unlink(made)
        self.assertEqual(code, 0, err)
        self.assertEqual([(r["call"], r["verdict"], r["diverged"]) for r in report["runs"]],
                         [(2, "not met", True)])
        # Held to an expectation that says otherwise, the same sweep fails and names the cell.
        report["runs"][0]["verdict"] = "absorbed"
        expected = rules_file(report)
        code, out, err, _, _ = sweep("--expect", wine_path(expected), "--calls", "2", "--faults",
                                     "reply:87", "--", host_path("sweep-test-host.exe"), "fewer",
                                     wine_path(made))
        for path in (made, expected):
            if os.path.exists(path):
                os.unlink(path)
        self.assertEqual(code, 1, err)
        self.assertRegex(out.replace("\r", ""),
                         r"changed from the expected matrix:\n  sweep_test_host\.c:\d+ "
                         r"StartJob\(2\), call 2, ")
        self.assertIn(", reply:87: not met, expected absorbed", out)

    @natively
    def test_a_sweep_that_cannot_run_says_why_and_exits_2(self):
        rows = [
            # arguments; what it says; whether the folder is left as it was
            (["--timeout", "3", "--", host_path("sweep-test-host.exe"), "hang"],
             "the baseline run did not end within 3 s", False),
            (["--", host_path("sweep-test-host.exe"), "nocall"], "the baseline run made no call",
             False),
            (["--calls", "3", "--", host_path("sweep-test-host.exe")],
             "--calls: the host made 1 call(s), not 3", False),
            # A --calls that does not read is refused before the baseline (which would hang).
            (["--timeout", "3", "--calls", "2-1", "--", host_path("sweep-test-host.exe"), "hang"],
             "--calls", True),
            (["--faults", "explode", "--", host_path("sweep-test-host.exe")], "explode", True),
            (["--", host_path("no-such-host.exe")], "cannot start", True),
            # An expectation that does not read is refused before the baseline too.
            (["--timeout", "3", "--expect", host_path("sweep-test-host.exe"), "--",
              host_path("sweep-test-host.exe"), "hang"], "--expect", True),
        ]
        for args, says, untouched in rows:
            code, _, err, report, folder = sweep(*args)
            self.assertEqual(code, 2, args)
            self.assertIn(says, err, args)
            self.assertNotIn("did not end", err if untouched else "", args)
            self.assertIsNone(report, args)
            if untouched:
                self.assertEqual(os.listdir(folder), [], args)
        with DevService():
            code, _, err, _, _ = sweep("--", host_path("sweep-test-host.exe"))
            self.assertEqual(code, 2)
            self.assertIn("serves \\\\.\\pipe\\pipe_job; stop it first", err)

    def test_a_reduced_sweep_of_the_careful_host(self):
        # The guest's share: one host, one call, three faults.
        code, out, err, report, _ = sweep("--calls", "1", "--faults",
                                          "reply:87,hang-up-after-read,garbled", "--seed", "7",
                                          "--", host_path("sweep-careful-host.exe"))
        self.assertEqual(code, 0, err)
        self.assertEqual({f: r["verdict"] for (_, f), r in cells(report).items()},
                         {"reply:87": "reported", "hang-up-after-read": "retried",
                          "garbled": cells(report)[(1, "garbled")]["verdict"]})
        self.assertEqual(cells(report)[(1, "reply:87")]["exit"], 2)
        self.assertEqual([r["id"] for r in report["runs"] if r["diverged"]], [])
        # The 32-bit tracer too (the guest runs only this): the line of the helper's call.
        site = report["baseline"]["calls"][0]["site"]
        self.assertEqual((os.path.basename(site["file"].replace("\\", "/")), site["line"],
                          site["function"]), ("careful_host.c", 30, "Call"))

    def junit_fails_what_the_sweep_fails_on(self, folder, report, host):
        """report.junit.xml as a JUnit reader takes it: the attributes its schema requires, a
        case per run, a failure for each crashed or hung run and for nothing else."""
        suite = ElementTree.parse(os.path.join(folder, "report.junit.xml")).getroot().find(
            "testsuite")
        cases = suite.findall("testcase")
        self.assertEqual(len(cases), len(report["runs"]))
        for key in ("name", "tests", "failures", "errors", "skipped", "time"):
            self.assertIn(key, suite.attrib)
        failed = [r for r in report["runs"]
                  if r["verdict"] in ("crashed", "hung", "looped", "repeated")]
        self.assertEqual(int(suite.get("failures")), len(failed))
        for case, run in zip(cases, report["runs"]):
            self.assertEqual((case.get("classname"), case.get("name").endswith(run["fault"])),
                             (host, True))
            float(case.get("time"))
            failure = case.find("failure")
            self.assertEqual(failure.get("type") if failure is not None else None,
                             run["verdict"] if run in failed else None)

    def page_is_a_matrix(self, folder, report):
        """The page in a real browser: Debian's chromium renders it to a PNG, and its DOM holds
        one cell per run, classed by the run's verdict."""
        browser = shutil.which("chromium")
        if browser is None:
            self.fail("chromium is not installed: the sweep's page is not checked")
        page = "file://" + os.path.join(folder, "report.html")
        common = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--user-data-dir=" + tempfile.mkdtemp()]
        png = os.path.join(folder, "report.png")
        subprocess.run(common + ["--screenshot=" + png, "--window-size=1600,900", page],
                       capture_output=True, timeout=120)
        with open(png, "rb") as image:
            header = image.read(24)
        self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", header[16:24]), (1600, 900))
        dom = subprocess.run(common + ["--dump-dom", page], capture_output=True, timeout=120)
        classes = re.findall(r'<td class="cell ([\w-]+)">', dom.stdout.decode("utf-8", "replace"))
        self.assertEqual(sorted(classes),
                         sorted(run["verdict"].replace(" ", "-") for run in report["runs"]))


if __name__ == "__main__":
    main()
