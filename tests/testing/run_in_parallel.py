#!/usr/bin/env python3
"""Runs a GoogleTest program's tests as ctest -j N runs those gtest_discover_tests finds: each
test in a process of its own, N at once. Then stops the service they shared. Exits 1 when a
test failed or the service was not left running for the others.

run_in_parallel.py --wine WINE --service SERVICE_EXE [--jobs N] PROGRAM"""
import argparse
import concurrent.futures
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--service", required=True)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("program")
    args = parser.parse_args()
    listed = subprocess.run([args.wine, args.program, "--gtest_list_tests"], capture_output=True,
                            timeout=120, check=True).stdout.decode().replace("\r", "")
    tests, suite = [], ""
    for line in listed.splitlines():
        if line and not line.startswith(" "):
            suite = line.strip()
        elif line.strip():
            tests.append(suite + line.split()[0])

    def run(test):
        # Its output goes to a file, not a pipe: under Wine the service that the first test
        # starts and leaves running holds the pipe it was started beside, and a reader of that
        # pipe would wait for its end until the service stops.
        with tempfile.TemporaryFile() as output:
            done = subprocess.run([args.wine, args.program, "--gtest_filter=" + test],
                                  stdout=output, stderr=subprocess.STDOUT, timeout=300)
            output.seek(0)
            return test, done.returncode, output.read().decode("utf-8", "replace")

    started = time.monotonic()
    failed = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for test, code, out in pool.map(run, tests):
            print("%-60s %s" % (test, "passed" if code == 0 else "FAILED"))
            if code != 0:
                failed.append(test)
                print(out)
    print("%d tests, %d at once, in %.1f s" % (len(tests), args.jobs, time.monotonic() - started))
    # The service outlived every test process: the suite's end stops it.
    stop = subprocess.run([args.wine, args.service, "ctl", "stop"], capture_output=True,
                          timeout=60)
    if stop.returncode != 0:
        print("the shared service was not left running: ctl stop exited %d" % stop.returncode)
        failed.append("the shared service")
    # Gone before the next test of the build meets it: ctl exits 2 once nothing answers.
    deadline = time.monotonic() + 20
    while subprocess.run([args.wine, args.service, "ctl", "ping"], capture_output=True,
                         timeout=60).returncode != 2:
        if time.monotonic() > deadline:
            print("the shared service still answers 20 s after its stop")
            return 1
        time.sleep(0.2)
    if len(tests) < 2:
        failed.append("the test list")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
