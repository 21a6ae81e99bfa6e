# make demo   set up everything that is missing, build, and run the demo
# make test   set up everything that is missing, build, and run the test suite
#             and the stub check
# make check-stubs  mypy's stubtest: the installed .pyi stubs against the built modules
# make wheel  the self-contained manylinux wheel in dist/ (SuiteSparse and OpenBLAS inside)
# make sdist  the source distribution in dist/
# make test-dist  the wheel in a clean Debian 12 root, a source install on Debian 13 (needs root)
# make bench  build, then time ferrow against the library called directly and against
#             SciPy; writes benchmarks/RESULTS.md and benchmarks/ratios.png
# make docs   build the documentation site into docs/_build/html (warnings are errors),
#             run every example of the guides, check the links and the rendered pages
VENV    := .venv
PY      := $(VENV)/bin/python
DEPS    := $(VENV)/.ferrow-deps
BUILT   := $(VENV)/.ferrow-built
SOURCES := $(shell find src -type f -not -name '*.pyc' 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: setup build demo test check-stubs test-asan bench docs clean wheel sdist test-dist

setup: $(DEPS)

$(DEPS): requirements-dev.txt scripts/bootstrap.sh
	bash scripts/bootstrap.sh deps

build: $(BUILT)

$(BUILT): $(DEPS) $(SOURCES) scripts/setup-suitesparse.sh
	bash scripts/bootstrap.sh build
	touch $@

demo: build
	$(PY) -m ferrow demo

test: build
	$(PY) -m pytest -q
	$(MAKE) --no-print-directory check-stubs

# Every name and signature of the stubs (src/ferrow/*.pyi, and those CMake makes from
# src/ext/*/*_twin.pyi.in) against the modules as built and installed (scipy-stubs gives
# SciPy's types); the allowlist says why each entry is left out. The cache lives in
# build/, so a second run takes seconds.
check-stubs: build
	$(PY) -m mypy.stubtest ferrow --allowlist tests/stubtest-allowlist.txt \
		--mypy-config-file tests/stubtest-mypy.ini

# The test suite against extensions built with AddressSanitizer and UBSan. The
# interpreter is not instrumented, so the sanitizer runtimes are preloaded.
ASAN_SITE := build/asan-site
test-asan: $(DEPS)
	FERROW_SANITIZE=1 FERROW_BUILD_DIR=build/asan FERROW_TARGET=$(ASAN_SITE) bash scripts/bootstrap.sh build
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(ASAN_SITE) $(PY) -m pytest -q -p no:cacheprovider

# The direct-call driver is built by CMake in build/bench (FERROW_BENCHMARKS=ON).
bench: build
	bash benchmarks/run.sh

# Distribution: scripts/build-wheel.sh and scripts/test-dist.sh say what each step does.
wheel: $(DEPS)
	bash scripts/build-wheel.sh

sdist: $(DEPS)
	rm -f dist/ferrow-*.tar.gz
	$(PY) -m build --sdist --no-isolation --outdir dist .

test-dist: wheel
	bash scripts/test-dist.sh all

# Sphinx reads the sources once (-E: afresh, running the figure code); the doctest
# builder reuses what it read and runs every example of the guides.
SPHINX := $(PY) -m sphinx -W --keep-going -n -q -d docs/_build/doctrees
docs: build
	bash scripts/bootstrap.sh docs
	$(SPHINX) -E -b html docs docs/_build/html
	$(SPHINX) -b doctest docs docs/_build/doctest
	$(PY) -m pytest docs/tests -q -p no:cacheprovider

clean:
	rm -rf build $(BUILT) docs/_build docs/api/generated
