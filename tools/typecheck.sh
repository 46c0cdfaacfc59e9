#!/usr/bin/env bash
# Checks the type stubs (halqen-stubs) against the built module with stubtest,
# then the examples and python/stub_cases.py (calls the stubs must accept or
# refuse) under mypy --strict. Expects halqen installed in VENV
# (`make install` does it); installs mypy there on demand.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
PY="$VENV/bin/python"

if ! "$PY" -c "import mypy" 2>/dev/null; then
  "$PY" -m pip install -q mypy
fi

echo "typecheck: stubtest halqen and halqen_ext"
"$PY" -m mypy.stubtest halqen halqen_ext
echo "typecheck: mypy --strict examples and the stub cases"
"$PY" -m mypy --strict --no-incremental examples python/stub_cases.py
# Dask is only partly typed, so halqen_dask is checked without --strict.
echo "typecheck: mypy halqen_dask"
"$PY" -m mypy --no-incremental python/halqen_dask
# The calls the stubs accept are really accepted by the module.
"$PY" python/stub_cases.py
echo "typecheck: passed"
