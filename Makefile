# The two commands of the README: `make demo` and `make test`.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo

VENV ?= .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
CPP_BUILD ?= build/cpp
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test cpp-test py-test gtest clean

# A virtual environment on CPython 3.13, found by tools/find-python313.
$(VENV)/.created:
	@PY=$$(tools/find-python313) && echo "using $$PY" && "$$PY" -m venv --clear $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	touch $@

# The package itself, rebuilt whenever a source changes.
$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(VPY) -m pip install --quiet -C cmake.define.TARVELIN_WERROR=ON ".[test]"
	touch $@

demo: $(VENV)/.installed
	$(VPY) examples/demo.py examples/sample.txt

# GoogleTest comes from Debian's libgtest-dev.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing libgtest-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	  else \
	    echo "error: GoogleTest is missing; install the Debian package libgtest-dev (as root: apt-get install libgtest-dev)" >&2; \
	    exit 1; \
	  fi; \
	fi

cpp-test: gtest
	cmake -S . -B $(CPP_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELIN_BUILD_MODULE=OFF \
	  -DTARVELIN_BUILD_TESTS=ON -DTARVELIN_WERROR=ON >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

py-test: $(VENV)/.installed
	$(VPY) -m pytest -q tests/python

test: cpp-test py-test

clean:
	rm -rf build $(VENV) .pytest_cache
