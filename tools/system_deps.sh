#!/usr/bin/env bash
# What building halqen needs from the system, checked before anything is
# built: g++, CMake, a Python with venv and its headers, and, when called with
# `gtest`, GoogleTest for the C++ unit tests. On Debian, as root, whatever is
# missing is installed with apt-get; anywhere else the script stops at once
# and prints the exact command to run. Silent when nothing is missing.
#
#   bash tools/system_deps.sh [gtest]
#
# PYTHON (default python3) is the interpreter the venvs are made from.
# HALQEN_GTEST_HEADER names the GoogleTest header whose presence counts as
# installed (default: gtest/gtest.h under /usr/include or /usr/local/include).
set -euo pipefail

PYTHON=${PYTHON:-python3}
want_gtest=0
for need in "$@"; do
  case $need in
    gtest) want_gtest=1 ;;
    *) echo "system_deps: unknown need '$need' (known: gtest)" >&2; exit 2 ;;
  esac
done

gtest_present() {
  local header
  for header in ${HALQEN_GTEST_HEADER:-/usr/include/gtest/gtest.h /usr/local/include/gtest/gtest.h}; do
    [[ -f $header ]] && return 0
  done
  return 1
}

python_has() {
  "$PYTHON" -c "$1" >/dev/null 2>&1
}

# Debian's python3 splits venv (ensurepip) and the headers into packages of
# their own; a Python installed otherwise (pyenv, a source build) has both.
python_is_debians() {
  python_has 'import sys; raise SystemExit(sys.base_prefix != "/usr")'
}

# Fills `packages` (Debian names) and `others` (what apt-get cannot fix).
find_missing() {
  packages=()
  others=()
  command -v g++ >/dev/null || packages+=(g++)
  command -v cmake >/dev/null || packages+=(cmake)
  if ! command -v "$PYTHON" >/dev/null; then
    packages+=(python3 python3-venv python3-dev)
  else
    local python_packages=()
    python_has 'import ensurepip' || python_packages+=(python3-venv)
    python_has 'import os, sysconfig
raise SystemExit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
      python_packages+=(python3-dev)
    if [[ ${#python_packages[@]} -gt 0 ]]; then
      if python_is_debians; then
        packages+=("${python_packages[@]}")
      else
        others+=("$PYTHON ($(command -v "$PYTHON")) lacks ${python_packages[*]/python3-/}:" \
          "use a Python build that includes venv and its headers")
      fi
    fi
  fi
  if [[ $want_gtest -eq 1 ]] && ! gtest_present; then
    packages+=(libgtest-dev)
  fi
}

on_debian() {
  [[ -f /etc/debian_version ]] && command -v apt-get >/dev/null
}

find_missing
if [[ ${#others[@]} -gt 0 ]]; then
  echo "system_deps: ${others[*]}" >&2
  exit 1
fi
[[ ${#packages[@]} -eq 0 ]] && exit 0

command_line="apt-get update && apt-get install -y ${packages[*]}"
if ! on_debian; then
  echo "system_deps: missing ${packages[*]} (Debian's names; GoogleTest is gtest-devel" \
    "on Fedora, gtest on Arch). Install them with the system's package manager, then" \
    "run make again." >&2
  exit 1
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "system_deps: missing ${packages[*]}. Run as root:" >&2
  echo "  sudo sh -c '$command_line'" >&2
  echo "then run make again." >&2
  exit 1
fi

echo "system_deps: installing ${packages[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}"
find_missing
if [[ ${#packages[@]} -gt 0 ]]; then
  echo "system_deps: still missing after apt-get install: ${packages[*]}" >&2
  exit 1
fi
