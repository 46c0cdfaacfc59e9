"""tools/system_deps.sh, which `make test` runs first: on Debian as root it
installs a missing GoogleTest with apt-get; otherwise it stops at once with
the command to run.

apt-get and id are replaced by fakes on PATH, and the GoogleTest header by a
path of the test's own, so the machine's packages are never touched.
"""
import os
import pathlib
import stat
import subprocess

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "system_deps.sh"

pytestmark = pytest.mark.skipif(not pathlib.Path("/etc/debian_version").is_file(),
                                reason="the apt-get path is taken on Debian only")

FAKE_APT = """#!/bin/sh
echo "$*" >> "{log}"
case "$*" in *install*libgtest-dev*) mkdir -p "$(dirname "$HALQEN_GTEST_HEADER")"
  touch "$HALQEN_GTEST_HEADER" ;; esac
"""


def write_executable(path, text):
    path.write_text(text)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)


def run(tmp_path, *needs, uid=0, header_exists=False):
    fake_bin = tmp_path / "bin"
    fake_bin.mkdir()
    log = tmp_path / "apt.log"
    write_executable(fake_bin / "apt-get", FAKE_APT.format(log=log))
    write_executable(fake_bin / "id", f"#!/bin/sh\necho {uid}\n")
    header = tmp_path / "include" / "gtest" / "gtest.h"
    if header_exists:
        header.parent.mkdir(parents=True)
        header.touch()
    environment = dict(os.environ, PATH=f"{fake_bin}{os.pathsep}{os.environ['PATH']}",
                       HALQEN_GTEST_HEADER=str(header))
    completed = subprocess.run(["bash", str(SCRIPT), *needs], env=environment,
                               capture_output=True, text=True, timeout=60)
    calls = log.read_text().splitlines() if log.exists() else []
    return completed, calls, header


def test_root_on_debian_installs_a_missing_gtest(tmp_path):
    completed, calls, header = run(tmp_path, "gtest")
    assert completed.returncode == 0, completed.stderr
    assert calls == ["update -qq", "install -y -qq libgtest-dev"]
    assert header.is_file()


def test_without_root_it_stops_with_the_command_to_run(tmp_path):
    completed, calls, header = run(tmp_path, "gtest", uid=1000)
    assert completed.returncode == 1
    assert calls == []
    assert "sudo sh -c 'apt-get update && apt-get install -y libgtest-dev'" in completed.stderr
    assert not header.exists()


@pytest.mark.parametrize(("needs", "header_exists"), [(("gtest",), True), ((), False)],
                         ids=["gtest-installed", "gtest-not-needed"])
def test_silent_when_nothing_is_missing(tmp_path, needs, header_exists):
    completed, calls, _ = run(tmp_path, *needs, header_exists=header_exists)
    assert (completed.returncode, completed.stdout, completed.stderr, calls) == (0, "", "", [])
