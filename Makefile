# SPDX-License-Identifier: MIT
# `make demo` and `make test` set up everything they need on a fresh machine:
# the project venv from requirements.txt, and Debian's GoogleTest (and Google
# Benchmark for `make bench`) through apt-get when missing.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
DEMO_BUILD := build-demo
SAN_BUILD := build-asan
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_ARGS = -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	-Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) \
	-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: demo test test-asan fuzz bench module venv clean wheels test-wheels

# The demo needs only the module: its build leaves the tests (and GoogleTest) out.
demo: venv
	$(VENV)/bin/cmake -S . -B $(DEMO_BUILD) $(CMAKE_ARGS) -DBUILD_TESTING=OFF
	$(VENV)/bin/cmake --build $(DEMO_BUILD)
	mkdir -p $(BUILD)
	PYTHONPATH=$(DEMO_BUILD) MPLBACKEND=Agg $(PY) examples/demo.py --out $(BUILD)/demo.png

test: module
	cd $(BUILD) && ../$(VENV)/bin/ctest --output-on-failure -j2

# Core tests and the Python suite with AddressSanitizer and UBSan.
test-asan: venv apt-test
	$(VENV)/bin/cmake -S . -B $(SAN_BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=ON
	$(VENV)/bin/cmake --build $(SAN_BUILD)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ../$(VENV)/bin/ctest --output-on-failure -E python_tests -LE package
	PYTHONPATH=$(SAN_BUILD) MPLBACKEND=Agg ASAN_OPTIONS=detect_leaks=0 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so) $$(g++ -print-file-name=libstdc++.so)" \
	$(PY) -m pytest tests/python -q -p no:cacheprovider -m "not slow"

# The core tests that run on several threads, with ThreadSanitizer.
TSAN_BUILD := build-tsan
.PHONY: test-tsan
test-tsan: venv apt-test
	$(VENV)/bin/cmake -S . -B $(TSAN_BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_TSAN=ON \
		-DLUMO_BUILD_MODULE=OFF
	$(VENV)/bin/cmake --build $(TSAN_BUILD) --target core_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/core_tests --gtest_filter='*workers*:*parallel*'

# The core's libFuzzer target with ASan and UBSan, run for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: venv apt-fuzz
	$(VENV)/bin/cmake -S . -B build-fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_BUILD_FUZZ=ON -DLUMO_SANITIZE=ON \
		-DLUMO_BUILD_MODULE=OFF -DBUILD_TESTING=OFF
	$(VENV)/bin/cmake --build build-fuzz
	mkdir -p build-fuzz/corpus
	build-fuzz/core_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -print_final_stats=1 build-fuzz/corpus

module: venv apt-test
	$(VENV)/bin/cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	$(VENV)/bin/cmake --build $(BUILD)

# Its own Release build without the tests; BENCH_ARGS go to run_bench.py
# (e.g. BENCH_ARGS=--quick for a small run), SPANNER_BENCH_ARGS to spanner_bench.py.
bench: venv apt-bench
	$(VENV)/bin/cmake -S . -B build-bench $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DLUMO_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build-bench
	PYTHONPATH=build-bench $(PY) bench/run_bench.py --build build-bench $(BENCH_ARGS)
	PYTHONPATH=build-bench $(PY) bench/spanner_bench.py $(SPANNER_BENCH_ARGS)
	$(MAKE) bench-venv
	PYTHONPATH=build-bench $(BENCH_VENV)/bin/python bench/emst_bench.py $(EMST_BENCH_ARGS)

# The EMST libraries timed against lumo.emst live in a venv of their own,
# never in the test venv.
BENCH_VENV := .venv-bench
.PHONY: bench-venv
bench-venv: $(BENCH_VENV)/.installed

$(BENCH_VENV)/.installed: bench/requirements-emst.txt
	[ -x $(BENCH_VENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install -q --disable-pip-version-check -r bench/requirements-emst.txt
	touch $@

# One wheel per CPython that the machine has (pyenv or PATH) among WHEEL_PYTHONS, repaired by
# auditwheel into a manylinux tag, in dist/. test-wheels installs each into a fresh venv with no
# compiler on PATH, smoke-tests it and runs the pytest suite against it.
WHEEL_PYTHONS ?= 3.11 3.12 3.13
WHEEL_VENV := .venv-wheels
wheels: $(WHEEL_VENV)/.installed
	rm -f dist/lumo-*.whl
	PATH=$(abspath $(WHEEL_VENV))/bin:$$PATH bash packaging/build_wheels.sh dist $(WHEEL_VENV)/bin/auditwheel $(WHEEL_PYTHONS)

test-wheels: wheels
	bash tests/package/check_wheels.sh --suite dist/lumo-*.whl

$(WHEEL_VENV)/.installed: packaging/requirements-wheels.txt
	[ -x $(WHEEL_VENV)/bin/python ] || $(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --disable-pip-version-check -r packaging/requirements-wheels.txt
	touch $@

venv: $(VENV)/.installed

$(VENV)/.installed: requirements.txt
	[ -x $(PY) ] || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements.txt
	touch $@

.PHONY: apt-test apt-bench apt-fuzz
apt-test:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q libgtest-dev; }

apt-fuzz:
	@dpkg -s clang libclang-rt-14-dev >/dev/null 2>&1 || { $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q clang libclang-rt-14-dev; }

apt-bench:
	@dpkg -s libbenchmark-dev >/dev/null 2>&1 || { $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q libbenchmark-dev; }

clean:
	rm -rf $(BUILD) $(DEMO_BUILD) $(SAN_BUILD) build-fuzz dist
