# The whole set-up on a fresh machine: `make demo` and `make test`.
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
CPPDIR  := build/cpp
JOBS    ?= 2

.PHONY: demo test install cpptest pytest bench clean

$(PY):
	python3 -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q scikit-build-core ninja

install: $(PY)
	$(PIP) install -q --no-build-isolation '.[test]'

demo: $(PY)
	$(PIP) install -q --no-build-isolation .
	$(PY) examples/demo.py

cpptest:
	cmake -S . -B $(CPPDIR) -DHALQEN_BUILD_TESTS=ON -DHALQEN_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPPDIR) -j $(JOBS)
	ctest --test-dir $(CPPDIR) --output-on-failure -j $(JOBS)

pytest: install
	$(PY) -m pytest -q tests/python

test: install cpptest pytest

bench: $(PY)
	$(PIP) install -q --no-build-isolation '.[bench]'
	$(PY) bench/flat.py

clean:
	rm -rf build $(VENV)
