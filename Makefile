# make demo   set up everything that is missing, build, and run the demo
# make test   set up everything that is missing, build, and run the test suite
VENV    := .venv
PY      := $(VENV)/bin/python
DEPS    := $(VENV)/.ferrow-deps
BUILT   := $(VENV)/.ferrow-built
SOURCES := $(shell find src -type f -not -name '*.pyc' 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: setup build demo test test-asan bench clean

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

clean:
	rm -rf build $(BUILT)
