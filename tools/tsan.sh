#!/usr/bin/env bash
# The extension under ThreadSanitizer, driven by the tests and the example
# that search a GraphIndex from several threads while others change it.
#
# Built into its own venv and build directory; the runtime is preloaded into
# the (uninstrumented) interpreter. Two things are left out: the tests that
# fork a process with threads running, which TSan cannot follow, and the
# reports of a thread's exit, where glibc frees the thread-local storage of
# a thread Python never joins with pthread_join: TSan sees that free race
# the thread's own destructors, which ran before it (suppressed below).
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${TSAN_VENV:-.venv-tsan}
WHEEL_BUILD=${TSAN_WHEEL_BUILD:-build/wheel-tsan}
PY=$VENV/bin/python

bash tools/system_deps.sh

if [ ! -x "$PY" ]; then
  python3 -m venv "$VENV"
  "$PY" -m pip install -q --upgrade pip
  "$PY" -m pip install -q scikit-build-core ninja
fi

echo "== building the extension with ThreadSanitizer ($WHEEL_BUILD)"
"$PY" -m pip install -q --no-build-isolation \
  -C build-dir="$WHEEL_BUILD" \
  -C cmake.define.CMAKE_CXX_FLAGS="-fsanitize=thread -g -O1" \
  -C cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
  '.[test]'

RUNTIME=$(g++ -print-file-name=libtsan.so)
if [ ! -e "$RUNTIME" ]; then
  echo "tsan: the ThreadSanitizer runtime (libtsan.so) was not found" >&2
  exit 1
fi
SUPPRESSIONS=$(mktemp)
trap 'rm -f "$SUPPRESSIONS"' EXIT
echo "race:_dl_deallocate_tls" > "$SUPPRESSIONS"

export TSAN_OPTIONS="halt_on_error=1:exitcode=66:suppressions=$SUPPRESSIONS"
echo "== the serving tests and the ingesting example under ThreadSanitizer"
LD_PRELOAD="$RUNTIME" "$PY" -m pytest -q -p no:cacheprovider tests/python/test_graph_serving.py \
  tests/python/test_threads.py -k "not fork"
LD_PRELOAD="$RUNTIME" "$PY" examples/ingesting_service.py
echo "== tsan: no race reported"
