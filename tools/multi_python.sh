#!/usr/bin/env bash
# Builds halqen and runs its Python tests under every CPython >= 3.9 found on
# this machine, each in its own venv (.venv-pyX.Y) and build dir
# (build/wheel-pyX.Y). The venvs get the test extra without Dask, so the
# sharding tests (pure Python over the same extension, run by `make test`)
# skip here. Fails if any version fails or none is found; prints
# which versions were found and what each gave.
#
# Interpreters are looked up as pythonX.Y on PATH and under pyenv's versions
# directory (PYENV_ROOT, default ~/.pyenv). MIN_MINOR/MAX_MINOR bound the scan;
# SKIP_VERSIONS (e.g. "3.11") names versions another run already covers.
# ENDS_ONLY=1 keeps only the oldest and the newest found, where the C API
# differences lie; OLDEST_ONLY=1 the oldest alone (the supported version
# new code most often leaves behind), to keep CI short.
set -uo pipefail
cd "$(dirname "$0")/.."

MIN_MINOR=${MIN_MINOR:-9}
MAX_MINOR=${MAX_MINOR:-20}
SKIP_VERSIONS=${SKIP_VERSIONS:-}
ENDS_ONLY=${ENDS_ONLY:-0}
OLDEST_ONLY=${OLDEST_ONLY:-0}
PYENV_VERSIONS="${PYENV_ROOT:-$HOME/.pyenv}/versions"

bash tools/system_deps.sh || exit 1

# The newest installed X.Y.* interpreter, else pythonX.Y on PATH (never a
# pyenv shim, which may point at another version).
find_interpreter() {
  local minor=$1 candidate=""
  for dir in "$PYENV_VERSIONS"/3."$minor".*; do
    [[ -x "$dir/bin/python3.$minor" ]] && candidate="$dir/bin/python3.$minor"
  done
  if [[ -z "$candidate" ]]; then
    local on_path
    on_path=$(command -v "python3.$minor" 2>/dev/null || true)
    [[ -n "$on_path" && "$on_path" != */shims/* ]] && candidate="$on_path"
  fi
  echo "$candidate"
}

run_one() {
  local version=$1 interpreter=$2
  local venv=".venv-py$version" build="build/wheel-py$version"
  [[ -x "$venv/bin/python" ]] || "$interpreter" -m venv "$venv" || return 1
  "$venv/bin/python" -m pip install -q --upgrade pip scikit-build-core ninja || return 1
  "$venv/bin/python" -m pip install -q --no-build-isolation -C build-dir="$build" '.[test]' ||
    return 1
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
}

declare -a found=() passed=() failed=()
for minor in $(seq "$MIN_MINOR" "$MAX_MINOR"); do
  [[ " $SKIP_VERSIONS " == *" 3.$minor "* ]] && continue
  interpreter=$(find_interpreter "$minor")
  [[ -n "$interpreter" ]] && found+=("3.$minor=$interpreter")
done

if [[ "$ENDS_ONLY" == 1 && ${#found[@]} -gt 2 ]]; then
  found=("${found[0]}" "${found[-1]}")
fi
if [[ "$OLDEST_ONLY" == 1 && ${#found[@]} -gt 1 ]]; then
  found=("${found[0]}")
fi

if [[ ${#found[@]} -eq 0 ]]; then
  if [[ -n "$SKIP_VERSIONS" ]]; then
    echo "multi_python: no CPython 3.$MIN_MINOR or newer besides $SKIP_VERSIONS"
    exit 0
  fi
  echo "multi_python: no CPython 3.$MIN_MINOR or newer found" >&2
  exit 1
fi
echo "multi_python: found ${#found[@]} interpreter(s):"
printf '  %s\n' "${found[@]}"

for entry in "${found[@]}"; do
  version=${entry%%=*}
  interpreter=${entry#*=}
  echo "=== Python $version ($interpreter) ==="
  started=$SECONDS
  if run_one "$version" "$interpreter"; then
    passed+=("$version")
    echo "=== Python $version passed in $((SECONDS - started)) s ==="
  else
    failed+=("$version")
    echo "=== Python $version FAILED after $((SECONDS - started)) s ==="
  fi
done

echo "multi_python: ran ${#found[@]}: passed [${passed[*]}] failed [${failed[*]}]"
[[ ${#failed[@]} -eq 0 ]]
