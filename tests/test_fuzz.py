"""The fuzz suites, each run in a child process so that a crash is caught.

The child (fuzzing/child.py) runs the suite's hypothesis properties and writes
a report; a child that dies by a signal, or exits without a report, crashed
during the call named in its trace file. VELKAN_FUZZ_EXAMPLES sets the number
of examples per property (run-tests bounds it for CI; raise it locally), and
VELKAN_FUZZ_PROFILE whether they are drawn afresh ("search") or, as in CI,
from a fixed seed ("ci").
"""
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from fuzzing.child import examples_per_property, profile_name

TESTS = Path(__file__).parent
# Generous: a 200-example run takes well under a minute, a sanitized one a few.
TIMEOUT_SECONDS = 3600


def describe_exit(code):
    if code < 0:
        return f"killed by {signal.Signals(-code).name}"
    return f"exit status {code}"


def run_child(suite, folder):
    """(the finished child, its report path, the call it last traced)."""
    folder.mkdir()
    report_path, trace_path = folder / "report.json", folder / "trace.txt"
    env = dict(os.environ, VELKAN_FUZZ_TRACE=str(trace_path))
    child = subprocess.run([sys.executable, "-W", "ignore", "-m", "fuzzing.child", suite, str(report_path)],
                           cwd=TESTS, env=env, capture_output=True, text=True, timeout=TIMEOUT_SECONDS)
    last_call = trace_path.read_text(errors="replace") if trace_path.exists() else "(none recorded)"
    return child, report_path, last_call


@pytest.mark.parametrize("suite", ["boundary", "geometry"])
def test_fuzz_suite_in_a_child_process(suite, tmp_path, capsys):
    child, report_path, last_call = run_child(suite, tmp_path / "child")
    if not report_path.exists():
        pytest.fail(f"the {suite} fuzz child crashed ({describe_exit(child.returncode)}) during\n{last_call}\n"
                    f"--- its stderr:\n{child.stderr[-20000:]}")
    report = json.loads(report_path.read_text())
    with capsys.disabled():
        for name, entry in report.items():
            print(f"\n  fuzz {suite}.{name} ({profile_name()}): {entry['calls']} calls in {entry['seconds']} s",
                  end="")
    failures = {name: entry["error"] for name, entry in report.items() if entry["error"]}
    assert not failures, "\n\n".join(f"{name}:\n{error}" for name, error in failures.items())
    # A clean report with a failing exit is a problem found at exit (LeakSanitizer).
    assert child.returncode == 0, f"{describe_exit(child.returncode)} after the suite ran\n{child.stderr[-20000:]}"
    # Every property really ran its examples (hypothesis counts a call per example).
    wanted = examples_per_property()
    short = {name: entry["calls"] for name, entry in report.items() if entry["calls"] < wanted}
    assert not short, f"properties that ran fewer than {wanted} calls: {short}"
