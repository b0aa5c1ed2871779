# make test   build everything into .venv and run the hash test and pytest
# make demo   run the main job, examples/demo.py
# make bench  throughput against other Bloom filters, in benchmarks/.venv
# make sanitize  the tests again against a build with ASan and UBSan
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/*) CMakeLists.txt pyproject.toml

.PHONY: test demo bench sanitize clean

$(PY):
	@python=$$(sh scripts/find-python313) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.deps: requirements-dev.txt | $(PY)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	@touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	@touch $@

build/cpp/test_murmur: $(VENV)/.deps src/murmur.hpp tests/cpp/test_murmur.cpp tests/cpp/CMakeLists.txt
	$(VENV)/bin/cmake -S tests/cpp -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/cpp

test: $(VENV)/.built build/cpp/test_murmur
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure
	$(PY) -m pytest

demo: $(VENV)/.built
	$(PY) examples/demo.py

# The benchmark has its own venv so that its peers never touch .venv. Each line
# of its requirements is installed on its own: one that pip cannot install is
# written to install-errors.txt for run.py to report, and the rest go on.
BENCH_VENV := benchmarks/.venv
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PIP := $(BENCH_PY) -m pip install --quiet --disable-pip-version-check

$(BENCH_PY):
	@python=$$(sh scripts/find-python313) && echo "using $$python" && "$$python" -m venv $(BENCH_VENV)

# Touched only when every line installed, so a failed one is tried again.
$(BENCH_VENV)/.deps: benchmarks/requirements.txt | $(BENCH_PY)
	@rm -f $(BENCH_VENV)/install-errors.txt; ok=1; \
	for req in $$(sed 's/#.*//' benchmarks/requirements.txt); do \
		if ! out=$$($(BENCH_PIP) "$$req" 2>&1); then \
			ok=0; reason=$$(printf '%s\n' "$$out" | grep -i error | tail -n 1); \
			echo "could not install $$req: $$reason"; echo "$$req: $$reason" >> $(BENCH_VENV)/install-errors.txt; \
		fi; \
	done; \
	if [ $$ok = 1 ]; then touch $@; fi

# The same build that .venv has, as a wheel, so the benchmark measures it.
$(BENCH_VENV)/.module: $(VENV)/.built | $(BENCH_PY)
	rm -rf build/bench-wheel
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps -w build/bench-wheel .
	$(BENCH_PIP) --no-deps --force-reinstall build/bench-wheel/woxbloomfilter-*.whl
	@touch $@

bench: $(BENCH_VENV)/.deps $(BENCH_VENV)/.module
	$(BENCH_PY) benchmarks/run.py

# The sanitized module shadows the installed one through PYTHONPATH; the
# interpreter itself is not instrumented, so the runtimes are preloaded.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
SANITIZE_ENV := PYTHONPATH=build/sanitize WOX_SANITIZE=1 ASAN_OPTIONS=detect_leaks=0 \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)"

sanitize: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B build/sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" >/dev/null
	$(VENV)/bin/cmake --build build/sanitize
	$(VENV)/bin/cmake -S tests/cpp -B build/cpp-sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" >/dev/null
	$(VENV)/bin/cmake --build build/cpp-sanitize
	$(VENV)/bin/ctest --test-dir build/cpp-sanitize --output-on-failure
	$(SANITIZE_ENV) $(PY) -m pytest -p no:cacheprovider

clean:
	rm -rf build $(VENV)
