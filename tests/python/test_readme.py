"""Every ```python block of README.md runs.

Blocks run in order in one shared namespace, like one interpreter session. A
block with `>>>` prompts is checked with doctest (its outputs must match); any
other block is executed and must finish without an exception, except a block
written as a script (with an `if __name__ == "__main__":` guard, as code that
starts worker processes needs), which runs in its own interpreter.
"""
import doctest
import importlib.util
import pathlib
import re
import subprocess
import sys
import traceback

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)
DOCTEST_FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
SCRIPT_GUARD = 'if __name__ == "__main__":'
SCRIPT_TIMEOUT_SECONDS = 300


def python_blocks():
    text = README.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        yield text.count("\n", 0, match.start()) + 2, match.group(1)


def run_doctest(block, line, namespace):
    """The doctest report of a block, empty when every example matched."""
    test = doctest.DocTestParser().get_doctest(block, namespace, f"README.md:{line}",
                                               str(README), line - 1)
    report = []
    runner = doctest.DocTestRunner(optionflags=DOCTEST_FLAGS)
    runner.run(test, out=report.append, clear_globs=False)
    namespace.update(test.globs)  # the test ran on a copy
    return "".join(report)


def run_code(block, line, namespace):
    """The traceback of a plain block, empty when it ran through."""
    try:
        exec(compile(block, f"README.md:{line}", "exec"), namespace)  # noqa: S102
    except Exception:  # noqa: BLE001 - reported with the block's line
        return f"README.md:{line}\n{traceback.format_exc()}"
    return ""


def run_script(block, line, directory):
    """The output of a script block that failed, empty when it exited 0."""
    script = directory / f"readme_{line}.py"
    script.write_text(block, encoding="utf-8")
    completed = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                               cwd=directory, timeout=SCRIPT_TIMEOUT_SECONDS)
    if completed.returncode == 0:
        return ""
    return f"README.md:{line} (run as a script)\n{completed.stdout}{completed.stderr}"


def test_readme_has_python_blocks():
    blocks = list(python_blocks())
    assert len(blocks) >= 5
    assert any(">>>" in block for _, block in blocks)


def test_readme_python_blocks_run(tmp_path):
    pytest.importorskip("numpy")  # some blocks show numpy arrays
    namespace = {"__name__": "readme"}
    failures = []
    has_dask = importlib.util.find_spec("distributed") is not None
    for line, block in python_blocks():
        if "halqen_dask" in block and not has_dask:
            continue  # Dask needs Python 3.10 or newer
        if SCRIPT_GUARD in block:
            failures.append(run_script(block, line, tmp_path))
            continue
        run = run_doctest if ">>>" in block else run_code
        failures.append(run(block, line, namespace))
    assert not any(failures), "".join(failures)
