# Set-up and test commands. `make demo` installs the package and runs the
# quickstart; `make test` installs what is missing, builds, and runs the C++
# and Python tests.

PYTHON ?= python3
APT_PACKAGES := libsqlite3-dev libgtest-dev cmake ninja-build
CPP_BUILD := build/cpp
WHEEL_DIR := build/dist

.PHONY: demo test system-deps wheel install test-deps cpp-test py-test clean

demo: install
	$(PYTHON) examples/quickstart.py

test: system-deps install test-deps cpp-test py-test

# Debian packages the build and the C++ tests need, installed only when absent.
system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# One cp311-abi3 wheel, kept in $(WHEEL_DIR) for the tests that install it
# into other interpreters.
wheel:
	rm -rf $(WHEEL_DIR)
	$(PYTHON) -m pip wheel --no-deps -w $(WHEEL_DIR) .

install: wheel
	$(PYTHON) -m pip install --force-reinstall --no-deps $(WHEEL_DIR)/quillmere-*.whl

# The `test` extra of the package (pytest).
test-deps:
	$(PYTHON) -m pip install "$$(ls $(WHEEL_DIR)/quillmere-*.whl)[test]"

cpp-test:
	cmake -S . -B $(CPP_BUILD) -G Ninja -DQUILLMERE_BUILD_MODULE=OFF -DQUILLMERE_BUILD_TESTS=ON
	cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && ctest --output-on-failure

py-test:
	QUILLMERE_WHEEL="$$(ls $(CURDIR)/$(WHEEL_DIR)/quillmere-*.whl)" $(PYTHON) -m pytest -q

clean:
	rm -rf build

# Benchmarks against the stores Python programs use instead (bench/README.md):
# installs the package with its `bench` extra, runs every workload, prints the
# tables and writes bench/results.json and bench/results.png. QUICK=1 gives a
# short smoke run with small sizes.
.PHONY: bench
bench: install
	$(PYTHON) -m pip install "$$(ls $(WHEEL_DIR)/quillmere-*.whl)[bench]"
	$(PYTHON) -m bench.run $(if $(QUICK),--quick)
