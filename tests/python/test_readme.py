"""Every ```python block of README.md and of the pages under docs/ runs.

Each page runs on its own: its blocks run in order in one namespace of the
page's, like one interpreter session. A block with `>>>` prompts is checked
with doctest (its outputs must match); any other block is executed and must
finish without an exception, except a block written as a script (with an
`if __name__ == "__main__":` guard, as code that starts worker processes
needs), which runs in its own interpreter. Failures name the page and the
block's first line.
"""
import doctest
import importlib.util
import pathlib
import re
import subprocess
import sys
import traceback

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
DOCS = ROOT / "docs"
PAGES = [README, *sorted(DOCS.rglob("*.md"))]
FENCE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)
DOCTEST_FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
SCRIPT_GUARD = 'if __name__ == "__main__":'
SCRIPT_TIMEOUT_SECONDS = 300
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#+ (.*)$", re.MULTILINE)


def name_of(page):
    """The page's path from the root of the source tree, as failures name it."""
    return page.relative_to(ROOT).as_posix()


def page_param(page):
    return pytest.param(page, id=name_of(page))


ALL_PAGES = [page_param(page) for page in PAGES]


def python_blocks(page):
    text = page.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        yield text.count("\n", 0, match.start()) + 2, match.group(1)


def run_doctest(block, where, page, line, namespace):
    """The doctest report of a block, empty when every example matched."""
    test = doctest.DocTestParser().get_doctest(block, namespace, where, str(page), line - 1)
    report = []
    runner = doctest.DocTestRunner(verbose=False, optionflags=DOCTEST_FLAGS)  # not from -v
    runner.run(test, out=report.append, clear_globs=False)
    namespace.update(test.globs)  # the test ran on a copy
    return "".join(report)


def run_code(block, where, namespace):
    """The traceback of a plain block, empty when it ran through."""
    try:
        exec(compile(block, where, "exec"), namespace)  # noqa: S102
    except Exception:  # noqa: BLE001 - reported with the block's line
        return f"{where}\n{traceback.format_exc()}"
    return ""


def run_script(block, where, line, directory):
    """The output of a script block that failed, empty when it exited 0."""
    script = directory / f"block_{line}.py"
    script.write_text(block, encoding="utf-8")
    completed = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                               cwd=directory, timeout=SCRIPT_TIMEOUT_SECONDS)
    if completed.returncode == 0:
        return ""
    return f"{where} (run as a script)\n{completed.stdout}{completed.stderr}"


def anchor_of(heading):
    """The anchor a heading gets where the pages are read (lower case,
    punctuation dropped, spaces as hyphens)."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors_of(page):
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    text = re.sub(r"^```.*?^```$", "", text, flags=re.DOTALL | re.MULTILINE)
    return {anchor_of(heading) for heading in HEADING.findall(text)}


@pytest.mark.parametrize("page", ALL_PAGES)
def test_fences_are_closed(page):
    """An opening fence inside an open block would hide the text between
    them (and the next block) in code; the pattern above would not notice."""
    name = name_of(page)
    opened_at = None
    for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), start=1):
        if not line.startswith("```"):
            continue
        if opened_at is None:
            opened_at = number
        elif line == "```":
            opened_at = None
        else:
            pytest.fail(f"{name}:{number} opens a block inside the one opened at line {opened_at}")
    assert opened_at is None, f"{name}:{opened_at} opens a block that is never closed"


@pytest.mark.parametrize("page", ALL_PAGES)
def test_relative_links_lead_somewhere(page):
    """Every link to a file of the source tree names one that exists, and
    every #anchor one of the headings of the page it points into."""
    broken = []
    text = page.read_text(encoding="utf-8")
    for match in LINK.finditer(text):
        target = match.group(1)
        if re.match(r"^[a-z]+:", target):
            continue  # a web address
        line = text.count("\n", 0, match.start()) + 1
        path, _, anchor = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        if not linked.exists():
            broken.append(f"{name_of(page)}:{line} links to {target}, which does not exist")
        elif anchor and linked.suffix == ".md" and anchor not in anchors_of(linked):
            broken.append(f"{name_of(page)}:{line} links to {target}, a heading that does not exist")
    assert not broken, "\n".join(broken)


def test_docs_index_lists_every_page():
    listed = set(re.findall(r"\]\(([\w\-]+\.md)\)", (DOCS / "index.md").read_text(encoding="utf-8")))
    pages = {page.name for page in DOCS.glob("*.md")} - {"index.md"}
    assert pages <= listed, f"docs/index.md does not list {sorted(pages - listed)}"


def test_demo_environment_has_what_the_tour_imports():
    """make demo installs halqen with the extras its recipe names; the tour
    must not import anything else from outside the standard library."""
    if not hasattr(sys, "stdlib_module_names"):
        pytest.skip("Python 3.10 or newer lists the standard library")
    recipe = re.search(r"^demo:.*\n\t\$\(INSTALL\) '\.\[([\w,]+)\]'", (ROOT / "Makefile").read_text(), re.MULTILINE)
    assert recipe, "make demo installs no extra"
    pyproject = (ROOT / "pyproject.toml").read_text()
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
    blocks = list(python_blocks(README))
    assert len(blocks) >= 5
    assert any(">>>" in block for _, block in blocks)


@pytest.mark.parametrize("page", ALL_PAGES)
def test_python_blocks_run(page, tmp_path):
    blocks = list(python_blocks(page))
    if not blocks:
        pytest.skip("the page has no Python blocks")
    pytest.importorskip("numpy")  # some blocks show numpy arrays
    name = name_of(page)
    namespace = {"__name__": page.stem}
    failures = []
    has_dask = importlib.util.find_spec("distributed") is not None
    for line, block in blocks:
        if "halqen_dask" in block and not has_dask:
            continue  # Dask needs Python 3.10 or newer
        where = f"{name}:{line}"
        if SCRIPT_GUARD in block:
            failures.append(run_script(block, where, line, tmp_path))
            continue
        if ">>>" in block:
            failures.append(run_doctest(block, where, page, line, namespace))
        else:
            failures.append(run_code(block, where, namespace))
    assert not any(failures), "".join(failures)
