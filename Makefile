# make test   build everything into .venv and run the hash test and pytest
# make demo   run the main job, examples/demo.py
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/*) CMakeLists.txt pyproject.toml

.PHONY: test demo clean

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

clean:
	rm -rf build $(VENV)
