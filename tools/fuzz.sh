#!/usr/bin/env bash
# Coverage-guided fuzzing with atheris, in two stages, of two harnesses:
# fuzz/fuzz_indexes.py (calls on PyFlat, PyHNSW and GraphIndex against models) and
# fuzz/fuzz_reader.py (damaged, truncated and hostile index files for
# halqen_ext). FUZZ_HARNESSES picks them (default "indexes reader").
#
# 1. atheris drives each harness against a plain build
#    of the extension for FUZZ_SECONDS (default 60), guided by coverage of
#    the harness' models and argument generators. The extension is compiled
#    with g++, which has no libFuzzer instrumentation, and g++'s ASan runtime
#    cannot share the process with atheris' libFuzzer (it takes over the
#    coverage callbacks), so this stage runs without the sanitizers.
# 2. Every input of the resulting corpus, and the committed seeds, is replayed
#    against the AddressSanitizer + UBSan build of tools/sanitize.sh.
#
# New inputs go to build/fuzz/<harness>/corpus; fuzz/corpus (indexes) and
# fuzz/reader-corpus are the committed seed corpora. A finding is saved under
# build/fuzz/<harness>/artifacts and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

# The project's own venv and build by default: after `make test` the plain
# extension is already built there, and atheris is one more test tool.
VENV=${FUZZ_VENV:-.venv}
WHEEL_BUILD=${FUZZ_WHEEL_BUILD:-build/wheel}
SANITIZE_VENV=${SANITIZE_VENV:-.venv-sanitize}
SANITIZE_WHEEL_BUILD=${SANITIZE_WHEEL_BUILD:-build/wheel-sanitize}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_HARNESSES=${FUZZ_HARNESSES:-indexes reader}
WORK=${FUZZ_WORK:-build/fuzz}
PY=$VENV/bin/python
# One input is at most a few dozen calls; a slow one is a finding.
PER_INPUT_TIMEOUT=30
MAX_INPUT_BYTES=4096
RSS_LIMIT_MB=4096

bash tools/system_deps.sh

make_venv() {
  if [ ! -x "$1/bin/python" ]; then
    python3 -m venv "$1"
    "$1/bin/python" -m pip install -q --upgrade pip
    "$1/bin/python" -m pip install -q scikit-build-core ninja
  fi
}
make_venv "$VENV"
make_venv "$SANITIZE_VENV"
"$PY" -c "import atheris" 2>/dev/null || "$PY" -m pip install -q atheris

echo "== building the extension ($WHEEL_BUILD)"
"$PY" -m pip install -q --no-build-isolation -C build-dir="$WHEEL_BUILD" '.[test]'
echo "== building the extension with ASan + UBSan ($SANITIZE_WHEEL_BUILD)"
"$SANITIZE_VENV/bin/python" -m pip install -q --no-build-isolation \
  -C build-dir="$SANITIZE_WHEEL_BUILD" -C cmake.define.HALQEN_SANITIZE=ON '.[test]'

ASAN_RUNTIME="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"

seeds_of() {
  case "$1" in
    indexes) echo fuzz/corpus ;;
    *) echo "fuzz/$1-corpus" ;;
  esac
}

# fuzz_one HARNESS: FUZZ_SECONDS of atheris, then the corpus replayed under
# ASan + UBSan. Returns the first non-zero status.
fuzz_one() {
  local harness=$1 seeds work started status=0
  seeds=$(seeds_of "$harness")
  work="$WORK/$harness"
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "== fuzzing $harness for $FUZZ_SECONDS s"
  started=$(date +%s)
  "$PY" "fuzz/fuzz_$harness.py" \
    -max_total_time="$FUZZ_SECONDS" \
    -timeout="$PER_INPUT_TIMEOUT" \
    -max_len="$MAX_INPUT_BYTES" \
    -rss_limit_mb="$RSS_LIMIT_MB" \
    -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$seeds" 2>"$work/log.txt" || status=$?

  # The log is long (every PanicException leaves a line on stderr by design);
  # its libFuzzer lines tell the result.
  grep -E '^(#[0-9]+ +(INITED|DONE)|stat::|Done|==[0-9]+==ERROR|.*Finding)' \
    "$work/log.txt" | tail -n 20 || true
  echo "== fuzz $harness: $(($(date +%s) - started)) s, exit status $status"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/log.txt"
    return "$status"
  fi

  echo "== replaying $(ls "$work/corpus" | wc -l) $harness corpus inputs under ASan + UBSan"
  ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0:halt_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    LD_PRELOAD="$ASAN_RUNTIME" \
    "$SANITIZE_VENV/bin/python" "fuzz/fuzz_$harness.py" --replay "$work/corpus" "$seeds" \
    2>"$work/replay-log.txt" || {
    status=$?
    tail -n 60 "$work/replay-log.txt"
  }
  echo "== fuzz and replay $harness: $(($(date +%s) - started)) s, exit status $status"
  return "$status"
}

status=0
for harness in $FUZZ_HARNESSES; do
  fuzz_one "$harness" || { status=$?; break; }
done
exit "$status"
