# `make demo` runs the demo campaign, `make test` the test suite; each makes its
# own virtual environment (VENV) and installs the package into it first.
PYTHON ?= python3
VENV ?= .venv
# A pip constraints file, e.g. ci/oldest.txt for the oldest supported releases.
CONSTRAINTS ?=
DEMO_OUT ?= demo-output

PIP := $(VENV)/bin/pip
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python cmake -type f -not -name '*.pyc')

.PHONY: demo test bench clean

$(VENV)/.installed: $(SOURCES) $(CONSTRAINTS)
	test -x $(VENV)/bin/python || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(if $(CONSTRAINTS),-c $(CONSTRAINTS)) ".[test]"
	touch $@

demo: $(VENV)/.installed
	$(VENV)/bin/trellis-demo --out $(DEMO_OUT)

test: $(VENV)/.installed
	$(VENV)/bin/python -m pytest -q tests

# Finishing and reading a large campaign: a table, and JSON in bench/results/.
bench: $(VENV)/.installed
	$(VENV)/bin/python bench/run.py

clean:
	rm -rf build .venv .venv-* $(DEMO_OUT)
