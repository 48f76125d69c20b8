"""Every Python block of the README runs as pasted, in order, in a folder where `velkan demo` ran;
the library's docstring examples run; and examples/demo.py runs."""
import doctest
import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

from velkan_tools.cli import main

ROOT = Path(__file__).resolve().parent.parent
DOCTESTED = ["velkan_tools.grid", "velkan_tools.settings", "velkan_tools.in_memory", "velkan_tools.reclass",
             "velkan_tools.zonal"]


def readme_blocks():
    return re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), flags=re.S | re.M)


def test_the_readme_runs_as_pasted(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert main(["demo", "--no-progress", "-q"]) == 0
    namespace, parser, runner = {}, doctest.DocTestParser(), doctest.DocTestRunner(
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    blocks = readme_blocks()
    assert len(blocks) >= 6
    for k, block in enumerate(blocks):
        if ">>> " in block:  # an interactive session: its printed results are checked too
            session = parser.get_doctest(block, namespace, f"README block {k}", "README.md", 0)
            runner.run(session, clear_globs=False)
            namespace.update(session.globs)  # the session ran on a copy
        else:
            exec(compile(block, f"README block {k}", "exec"), namespace)
    assert runner.failures == 0, f"{runner.failures} README examples printed something else"


@pytest.mark.parametrize("name", DOCTESTED)
def test_docstring_examples_run(name):
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.failed == 0 and (result.attempted > 0 or name == "velkan_tools.zonal")


def test_the_example_script_runs():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    assert "focal cells in" in done.stdout and "covered area" in done.stdout
