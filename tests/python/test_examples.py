"""Every example under examples/ runs to the end as a script."""
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
TIMEOUT_SECONDS = 300


# The one thing an example may write to stderr: GraphIndex.add's progress
# bar, whose lines (stderr being no terminal) each end in a newline.
PROGRESS_LINE = re.compile(r"\d+/\d+ vectors, \d+/s, \d+:\d\d elapsed, \d+:\d\d left")


def run_example(name):
    completed = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True,
                               text=True, timeout=TIMEOUT_SECONDS)
    assert completed.returncode == 0, completed.stderr
    assert all(PROGRESS_LINE.fullmatch(line) for line in completed.stderr.splitlines()), completed.stderr
    return completed.stdout


def test_every_example_is_covered():
    assert {path.name for path in EXAMPLES.glob("*.py")} == {
        "demo.py", "filtered_search.py", "digits_search.py", "semantic_service.py", "typed_calls.py",
        "ingesting_service.py"}


def test_demo():
    output = run_example("demo.py")
    assert "recall@10 of PyHNSW against PyFlat" in output
    assert "filtered search near query 0" in output
    recall = re.search(r"recall@10 of GraphIndex against PyFlat: ([0-9.]+)", output)
    assert recall and float(recall.group(1)) >= 0.9
    assert "GraphIndex filtered search near query 0" in output
    assert "and read back: GraphIndex(dim=64, metric='euclidean', count=3000, walk='sq8'), same answers: True" \
        in output


def test_semantic_service():
    output = run_example("semantic_service.py")
    answers = output.split("GET ")[1:]
    assert len(answers) == 4
    assert "sourdough" in answers[0].splitlines()[1] or "bread" in answers[0].splitlines()[1]
    assert all(" 105 " not in line and " 108 " not in line for line in answers[1].splitlines()[1:])
    assert len(answers[2].splitlines()) == 1 + 5  # five documents of 2022 and 2023, no padding
    assert " 106 " not in answers[3]


def test_ingesting_service_answers_every_search_while_it_adds():
    output = run_example("ingesting_service.py")
    assert "vectors held: 4500" in output
    answered = re.search(r"answered while ingesting: (\d+), failed: (\d+)", output)
    assert answered and int(answered.group(1)) > 0 and int(answered.group(2)) == 0


def test_typed_calls():
    assert "every call form ran" in run_example("typed_calls.py")


def test_filtered_search():
    output = run_example("filtered_search.py")
    assert "entry node, does not match: drop it" in output
    assert "found by a plain search: True" in output
    assert "found by a search filtered on colour 'white': False" in output


def test_digits_search():
    if importlib.util.find_spec("sklearn") is None:
        pytest.skip("scikit-learn is not installed (pip install 'halqen[examples]')")
    output = run_example("digits_search.py")
    assert "5-nearest vote accuracy" in output
    assert "most similar by cosine" in output


def test_digits_search_without_scikit_learn_says_so(tmp_path):
    # A module named sklearn that fails to import stands in for a missing one.
    (tmp_path / "sklearn").mkdir()
    (tmp_path / "sklearn" / "__init__.py").write_text("raise ImportError('not here')\n")
    completed = subprocess.run([sys.executable, str(EXAMPLES / "digits_search.py")],
                               capture_output=True, text=True, timeout=TIMEOUT_SECONDS,
                               env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert completed.returncode == 0, completed.stderr
    assert "needs scikit-learn" in completed.stdout
