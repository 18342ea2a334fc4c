# Set-up and test commands. `make demo` installs the package and runs the
# quickstart; `make test` installs what is missing, builds, and runs the C++
# and Python tests. Everything Python is installed into and run from the
# project environment .venv, made from $(PYTHON) when it is missing.

# The base interpreter (CPython 3.11 or newer): used only to make .venv.
PYTHON ?= python3
VENV := .venv
VENV_PYTHON := $(CURDIR)/$(VENV)/bin/python
VENV_STAMP := $(VENV)/quillmere-base
APT_PACKAGES := libsqlite3-dev libgtest-dev cmake ninja-build python3-venv python3-dev
CPP_BUILD := build/cpp
WHEEL_DIR := build/dist

.PHONY: demo test system-deps venv wheel install test-deps cpp-test py-test clean \
	test-extras test-asan asan-cpp-test asan-module test-tsan fuzz-deps fuzz-build fuzz-smoke fuzz \
	fuzz-merge crash-test exit-test stress-test leak-test schedule-test limit-test

demo: system-deps install
	$(VENV_PYTHON) examples/quickstart.py

test: system-deps install test-deps cpp-test py-test

# Debian packages the build, the C++ tests and the environment need (a venv
# and the headers of Debian's own Python), installed only when absent.
system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# The project environment. It is made anew from $(PYTHON) when it is missing,
# was made from another interpreter, or does not run pip (half made, or its
# interpreter gone); the stamp naming the interpreter is written last.
venv: system-deps
	@base=$$($(PYTHON) -c 'import os, sys; \
	  ok = sys.implementation.name == "cpython" and sys.version_info >= (3, 11); \
	  ok or sys.exit("$(VENV) needs CPython 3.11 or newer; PYTHON=$(PYTHON) is " \
	    + sys.implementation.name + " " + sys.version.split()[0]); \
	  print("%d.%d" % sys.version_info[:2], os.path.realpath(getattr(sys, "_base_executable", sys.executable)))') \
	  || exit 1; \
	if [ "$$(cat $(VENV_STAMP) 2>/dev/null)" = "$$base" ] && $(VENV_PYTHON) -m pip --version >/dev/null 2>&1; \
	then exit 0; fi; \
	echo "making $(VENV) from $${base#* }"; \
	rm -rf $(VENV) && "$${base#* }" -m venv $(VENV) && $(VENV_PYTHON) -m pip --version >/dev/null \
	  && echo "$$base" >$(VENV_STAMP)

# One cp311-abi3 wheel, kept in $(WHEEL_DIR) for the tests that install it
# into other interpreters.
wheel: venv
	rm -rf $(WHEEL_DIR)
	$(VENV_PYTHON) -m pip wheel --no-deps -w $(WHEEL_DIR) .

install: wheel
	$(VENV_PYTHON) -m pip install --force-reinstall --no-deps $(WHEEL_DIR)/quillmere-*.whl

# The `test` extra of the package (pytest).
test-deps: venv
	$(VENV_PYTHON) -m pip install "$$(ls $(WHEEL_DIR)/quillmere-*.whl)[test]"

cpp-test:
	cmake -S . -B $(CPP_BUILD) -G Ninja -DQUILLMERE_BUILD_MODULE=OFF -DQUILLMERE_BUILD_TESTS=ON
	cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && ctest --output-on-failure

py-test: venv
	QUILLMERE_WHEEL="$$(ls $(CURDIR)/$(WHEEL_DIR)/quillmere-*.whl)" $(VENV_PYTHON) -m pytest -q

# The build trees; the environment .venv stays (remove it to start it anew).
clean:
	rm -rf build

# ---------------------------------------------------------------------------
# Reliability: sanitizers, fuzzing, crash, exit, stress and leak runs.

# The environment's interpreter: the real one (a link to it), not a launcher
# script, so that a preloaded sanitizer runtime lands in the process under
# test only.
PYTHON_EXE := $(VENV_PYTHON)
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
FUZZ_BUILD := build/fuzz
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so)
FUZZ_TARGETS := syntax_check parse_general differential index_builder wal_recovery
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev
SANITIZER_CMAKE := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Leak detection stays on for the C++ tests; CPython itself leaks at exit.
ASAN_CPP_ENV := ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ASAN_PY_ENV := ASAN_OPTIONS=detect_leaks=0:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc
# Python with the sanitized module first on its path and the runtime preloaded.
ASAN_PYTHON = PYTHONPATH=$(CURDIR)/$(ASAN_BUILD)/pkg LD_PRELOAD=$(ASAN_RUNTIME) $(ASAN_PY_ENV) $(PYTHON_EXE)

# The packages of the `test` extra, read from pyproject.toml, without building
# the package (the sanitizer runs load their own build of the module).
test-extras: venv
	$(VENV_PYTHON) -c "import tomllib; print('\\n'.join(tomllib.load(open('pyproject.toml', 'rb')) \
	  ['project']['optional-dependencies']['test']))" | xargs $(VENV_PYTHON) -m pip install -q

# The C++ tests and the whole Python suite under AddressSanitizer and
# UndefinedBehaviorSanitizer. The module is built separately and put on
# PYTHONPATH in a package directory of its own; the installed one is untouched.
test-asan: system-deps test-extras asan-cpp-test asan-module
	$(ASAN_PYTHON) -c "import quillmere, sys; \
	  sys.exit(0 if quillmere.__file__.startswith('$(CURDIR)/$(ASAN_BUILD)/pkg/') else 1)"
	$(ASAN_PYTHON) -m pytest -q -p no:cacheprovider

asan-cpp-test: system-deps
	cmake -S . -B $(ASAN_BUILD)/cpp $(SANITIZER_CMAKE) -DQUILLMERE_SANITIZE=address,undefined \
	  -DQUILLMERE_BUILD_MODULE=OFF -DQUILLMERE_BUILD_TESTS=ON
	cmake --build $(ASAN_BUILD)/cpp
	cd $(ASAN_BUILD)/cpp && $(ASAN_CPP_ENV) ctest --output-on-failure

asan-module: system-deps venv
	cmake -S . -B $(ASAN_BUILD)/module $(SANITIZER_CMAKE) -DQUILLMERE_SANITIZE=address,undefined \
	  -DQUILLMERE_BUILD_MODULE=ON -DQUILLMERE_BUILD_TESTS=OFF -DPython_EXECUTABLE=$(PYTHON_EXE)
	cmake --build $(ASAN_BUILD)/module
	rm -rf $(ASAN_BUILD)/pkg && mkdir -p $(ASAN_BUILD)/pkg/quillmere
	cp python/quillmere/* $(ASAN_BUILD)/module/quillmere.abi3.so $(ASAN_BUILD)/pkg/quillmere/

# The C++ tests (channel, background writer and store threads included)
# under ThreadSanitizer.
test-tsan: system-deps
	cmake -S . -B $(TSAN_BUILD) $(SANITIZER_CMAKE) -DQUILLMERE_SANITIZE=thread \
	  -DQUILLMERE_BUILD_MODULE=OFF -DQUILLMERE_BUILD_TESTS=ON
	cmake --build $(TSAN_BUILD)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure

# libFuzzer comes with Debian's clang.
fuzz-deps: system-deps
	@missing=""; for p in $(FUZZ_APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

fuzz-build: fuzz-deps
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(SANITIZER_CMAKE) -DQUILLMERE_SANITIZE=address,undefined \
	  -DQUILLMERE_BUILD_MODULE=OFF -DQUILLMERE_BUILD_FUZZERS=ON
	cmake --build $(FUZZ_BUILD)

# Each target over its committed corpus and the JSON test suite, then a
# short bounded run of new inputs (kept in the build tree, so the committed
# corpus is only read).
fuzz-smoke: fuzz-build
	for t in $(FUZZ_TARGETS); do \
	  echo "== $$t"; \
	  $(FUZZ_BUILD)/fuzz/$${t}_fuzzer -runs=0 fuzz/corpus/$$t tests/data/JSONTestSuite/test_parsing || exit 1; \
	  rm -rf $(FUZZ_BUILD)/smoke/$$t && mkdir -p $(FUZZ_BUILD)/smoke/$$t && \
	  $(FUZZ_BUILD)/fuzz/$${t}_fuzzer -runs=20000 -max_len=4096 -seed=1 -dict=fuzz/json.dict \
	    $(FUZZ_BUILD)/smoke/$$t fuzz/corpus/$$t >/dev/null 2>$(FUZZ_BUILD)/smoke/$$t.log || \
	    { cat $(FUZZ_BUILD)/smoke/$$t.log; exit 1; }; \
	done

# Long runs: FUZZ_SECONDS per target, all targets at once. New inputs gather
# in build/fuzz-work/<target>/corpus; `make fuzz-merge` folds them into the
# committed corpus, minimized.
FUZZ_SECONDS ?= 3600
fuzz: fuzz-build
	for t in $(FUZZ_TARGETS); do fuzz/run_fuzzer.sh $$t $(FUZZ_SECONDS) $(FUZZ_BUILD) & done; wait

fuzz-merge: fuzz-build
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/corpus/$$t build/fuzz-work/$$t/corpus && \
	  $(FUZZ_BUILD)/fuzz/$${t}_fuzzer -merge=1 -max_len=4096 fuzz/corpus/$$t \
	    build/fuzz-work/$$t/corpus tests/data/JSONTestSuite/test_parsing || exit 1; \
	done

# ---------------------------------------------------------------------------
# Benchmarks against the stores Python programs use instead (bench/README.md):
# installs the package with its `bench` extra, runs every workload, prints the
# tables and writes bench/results.json and bench/results.png. QUICK=1 gives a
# short smoke run with small sizes.
.PHONY: bench
bench: install
	$(VENV_PYTHON) -m pip install "$$(ls $(WHEEL_DIR)/quillmere-*.whl)[bench]"
	$(VENV_PYTHON) -m bench.run $(if $(QUICK),--quick)

# The long runs against the installed package, or with ASAN=1 against the
# sanitized build of the module.
JOBS ?= $(shell nproc)
ifeq ($(ASAN),1)
STRESS_DEPS := asan-module
STRESS_PYTHON = $(ASAN_PYTHON)
else
STRESS_DEPS := install
STRESS_PYTHON = $(PYTHON_EXE)
endif
CRASH_TRIALS ?= 200
EXIT_RUNS ?= 50
STRESS_SECONDS ?= 60
LEAK_ITERATIONS ?= 100000

# Killed writers: 200 trials, then the exit and release runs.
crash-test: $(STRESS_DEPS)
	$(STRESS_PYTHON) tests/stress/crash_test.py --trials $(CRASH_TRIALS) --jobs $(JOBS)
	$(STRESS_PYTHON) tests/stress/crash_test.py --trials $(CRASH_TRIALS) --jobs $(JOBS) --engine web
	$(STRESS_PYTHON) tests/stress/exit_test.py --runs $(EXIT_RUNS) --jobs $(JOBS)

exit-test: $(STRESS_DEPS)
	$(STRESS_PYTHON) tests/stress/exit_test.py --runs $(EXIT_RUNS) --jobs $(JOBS)

stress-test: $(STRESS_DEPS)
	$(STRESS_PYTHON) tests/stress/stress_test.py --seconds $(STRESS_SECONDS) --threads 8
	$(STRESS_PYTHON) tests/stress/stress_test.py --seconds $(STRESS_SECONDS) --threads 8 --engine web

# One real scheduled backup, a few minutes from now.
schedule-test: $(STRESS_DEPS)
	$(STRESS_PYTHON) tests/stress/scheduled_backup_test.py

# Writes at the store's real length limit: gigabyte documents; about 4 minutes and
# 11 GB of memory.
limit-test: $(STRESS_DEPS)
	$(STRESS_PYTHON) tests/stress/store_limit_test.py

leak-test: $(STRESS_DEPS)
	$(STRESS_PYTHON) tests/stress/leak_test.py --iterations $(LEAK_ITERATIONS)
