"""Runs the properties of one fuzz suite in this process and writes a JSON report.

    cd tests && python -m fuzzing.child SUITE REPORT

The parent (tests/test_fuzz.py) reads the report: per property the number of
calls made and the failure, if any. A crash never gets to write the report; the
parent then reads the trace file named by VELKAN_FUZZ_TRACE to name the input.
VELKAN_FUZZ_EXAMPLES sets the number of examples per property, and
VELKAN_FUZZ_PROFILE the way they are drawn: "search" (the default) draws new
ones every run; "ci", which CI=true selects when the variable is unset (CI
sets it), draws the same ones every run, so that a landing cannot fail on a
new draw. Explicit @example inputs run first either way.
"""
import importlib
import json
import os
import sys
import time
import traceback

from hypothesis import HealthCheck, settings

from fuzzing.harness import calls_made

DEFAULT_EXAMPLES = 200
# Profile name -> whether its examples come from a fixed seed.
PROFILES = {"search": False, "ci": True}


def examples_per_property():
    return int(os.environ.get("VELKAN_FUZZ_EXAMPLES", DEFAULT_EXAMPLES))


def profile_name():
    name = os.environ.get("VELKAN_FUZZ_PROFILE") or ("ci" if os.environ.get("CI") == "true" else "search")
    if name not in PROFILES:
        raise SystemExit(f"VELKAN_FUZZ_PROFILE must be one of {sorted(PROFILES)}, not {name!r}")
    return name


def main(suite, report_path):
    for name, derandomize in PROFILES.items():
        settings.register_profile(name, max_examples=examples_per_property(), derandomize=derandomize,
                                  deadline=None, database=None, suppress_health_check=list(HealthCheck),
                                  print_blob=True)
    settings.load_profile(profile_name())
    module = importlib.import_module(f"fuzzing.{suite}")
    report = {}
    for prop in module.PROPERTIES:
        start = time.monotonic()
        try:
            prop()
            error = None
        except Exception as failure:  # noqa: BLE001 - every failure goes into the report
            error = "".join(traceback.format_exception(failure))
        report[prop.__name__] = {"calls": calls_made[prop.__name__], "seconds": round(time.monotonic() - start, 1),
                                 "error": error}
    with open(report_path, "w", encoding="utf-8") as out:
        json.dump(report, out, indent=1)
    return 1 if any(entry["error"] for entry in report.values()) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
