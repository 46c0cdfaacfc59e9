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


def test_readme_fences_are_closed():
    """An opening fence inside an open block would hide the text between
    them (and the next block) in code; the pattern above would not notice."""
    opened_at = None
    for number, line in enumerate(README.read_text(encoding="utf-8").splitlines(), start=1):
        if not line.startswith("```"):
            continue
        if opened_at is None:
            opened_at = number
        elif line == "```":
            opened_at = None
        else:
            pytest.fail(f"README.md:{number} opens a block inside the one opened at line {opened_at}")
    assert opened_at is None, f"README.md:{opened_at} opens a block that is never closed"


def test_demo_environment_has_what_the_tour_imports():
    """make demo installs halqen with the extras its recipe names; the tour
    must not import anything else from outside the standard library."""
    if not hasattr(sys, "stdlib_module_names"):
        pytest.skip("Python 3.10 or newer lists the standard library")
    root = README.parent
    recipe = re.search(r"^demo:.*\n\t\$\(INSTALL\) '\.\[([\w,]+)\]'", (root / "Makefile").read_text(), re.MULTILINE)
    assert recipe, "make demo installs no extra"
    pyproject = (root / "pyproject.toml").read_text()
    installed = {"halqen", "halqen_ext"}
    for extra in recipe.group(1).split(","):
        requirements = re.search(rf"^{extra} = \[(.*)\]$", pyproject, re.MULTILINE)
        installed.update(re.findall(r'"([\w-]+)', requirements.group(1)))
    text = README.read_text(encoding="utf-8")
    tour = text[text.index("## A five-minute tour"):text.index("\n## ", text.index("## A five-minute tour"))]
    imported = set(re.findall(r"^(?:>>> )?(?:import|from) (\w+)", tour, re.MULTILINE))
    assert imported, "the tour imports nothing"
    missing = {name for name in imported if name not in installed and name not in sys.stdlib_module_names}
    assert not missing, f"the tour imports {sorted(missing)}, which make demo does not install"


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
