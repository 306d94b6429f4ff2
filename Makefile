# `make demo` runs the demo campaign, `make test` the test suite; each makes its
# own virtual environment (VENV) and installs the package into it first, with
# the stand-ins of the toolkit's modules (standins/, a distribution of its own).
# `make wheel` builds the wheels for users into dist/ (ci/wheel.sh).
PYTHON ?= python3
VENV ?= .venv
# A pip constraints file, e.g. ci/oldest.txt for the oldest supported releases.
CONSTRAINTS ?=
# SYSTEM_PACKAGES=1: the environment sees the system's Python packages (Debian's
# python3-pandas, ...) and the package is built against them; pip adds only
# what the system lacks.
SYSTEM_PACKAGES ?=
# WERROR=1: compiler warnings fail the build (CI).
WERROR ?=
# WHEEL=dist/....whl: install this wheel instead of building the sources.
WHEEL ?=
DEMO_OUT ?= demo-output
# The core's unit tests are built with CMake: the system's, or else one that
# pip installs into the environment.
CMAKE ?= $(shell command -v cmake 2>/dev/null || echo $(VENV)/bin/cmake)

PIP := $(VENV)/bin/pip
PIP_C := $(if $(CONSTRAINTS),-c $(CONSTRAINTS))
PIP_BUILD := $(if $(WERROR),--config-settings=cmake.define.TRELLIS_WERROR=ON)
PIP_ISOLATION := $(if $(SYSTEM_PACKAGES),--no-build-isolation)
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python standins cmake -type f -not -name '*.pyc')
CORE_TESTS := build/core-tests

# The build requirements of pyproject.toml, for a build without isolation
# (tomllib is Python 3.11's; on 3.10 its PyPI original, tomli, is installed).
export BUILD_REQUIRES := import importlib, sys; toml = importlib.import_module("tomllib" if sys.version_info >= (3, 11) else "tomli"); print(" ".join(toml.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))

.PHONY: demo test core-test bench wheel stubs references clean

# The environment: pip up to date; or, with SYSTEM_PACKAGES, one that sees the
# system's packages, with the build requirements pip adds for a build without
# isolation.
$(VENV)/.ready: pyproject.toml $(CONSTRAINTS)
ifeq ($(SYSTEM_PACKAGES),)
	test -x $(VENV)/bin/python || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
else
	test -x $(VENV)/bin/python || $(PYTHON) -m venv --system-site-packages $(VENV)
	$(VENV)/bin/python -c "import tomllib" 2>/dev/null || $(PIP) install -q $(PIP_C) tomli
	$(PIP) install -q $(PIP_C) $$($(VENV)/bin/python -c "$$BUILD_REQUIRES")
endif
	touch $@

# The package built from the sources, or the WHEEL named (ci/armhf.sh tests
# the wheel it built; reinstalled, as pip keeps an installed build of the
# same version); then the stand-ins: an environment made before they
# had a distribution of their own holds them as files of vireo-trellis, which
# its reinstall removes.
$(VENV)/.installed: $(SOURCES) $(CONSTRAINTS) $(WHEEL) $(VENV)/.ready
ifeq ($(WHEEL),)
	$(PIP) install -q $(PIP_C) $(PIP_ISOLATION) $(PIP_BUILD) ".[test]"
else
	$(PIP) install -q $(PIP_C) $(PIP_ISOLATION) "$(WHEEL)[test]"
	$(PIP) install -q --no-deps --force-reinstall "$(WHEEL)"
endif
	$(PIP) install -q $(PIP_C) $(PIP_ISOLATION) ./standins
	test -x "$(CMAKE)" || command -v "$(CMAKE)" >/dev/null || $(PIP) install -q $(PIP_C) cmake
	touch $@

demo: $(VENV)/.installed
	$(VENV)/bin/trellis-demo --out $(DEMO_OUT)

# The C++ core's own unit tests (the formula core, the reader's inflater; no
# Python), then the Python suite.
test: core-test
	$(VENV)/bin/python -m pytest -q tests

core-test: $(VENV)/.installed
	$(CMAKE) -S . -B $(CORE_TESTS) --log-level=WARNING -DTRELLIS_CORE_TESTS=ON \
		-DTRELLIS_WERROR=$(if $(WERROR),ON,OFF)
	$(CMAKE) --build $(CORE_TESTS)
	$(CORE_TESTS)/formula_tests
	$(CORE_TESTS)/inflate_tests
	$(CORE_TESTS)/crc32_tests

# The wheel of the package repaired into a manylinux wheel (zlib and expat
# are the system's, as the manylinux policy allows), and the stand-ins' wheel,
# in dist/.
wheel: $(VENV)/.ready
	bash ci/wheel.sh build $(VENV) dist $(if $(WERROR),--werror) $(PIP_ISOLATION)

# The reference workbooks of tests/reference/ written anew from today's writer
# (review the diff before committing it).  The XlsxWriter 3.0 family's parts
# come from an environment of the oldest releases:
# `make references VENV=.venv-oldest CONSTRAINTS=ci/oldest.txt`, after the
# default run.
references: $(VENV)/.installed
	TRELLIS_UPDATE_REFERENCES=1 $(VENV)/bin/python -m pytest -q tests/test_references.py

# Finishing and reading a large campaign: a table, and JSON in bench/results/.
bench: $(VENV)/.installed
	$(VENV)/bin/python bench/run.py

# The checked-in type stubs, written anew from the built modules (after a
# change of a binding), in an environment of their own where the build and the
# stub generator are the nanobind release that CI's newest run pins and whose
# stubs the suite compares with.
STUBS_VENV ?= .venv-stubs
stubs:
	PIP_BUILD_CONSTRAINT=$(CURDIR)/ci/newest.txt $(MAKE) $(STUBS_VENV)/.installed VENV=$(STUBS_VENV) \
		CONSTRAINTS=ci/newest.txt
	$(STUBS_VENV)/bin/python cmake/make_stubs.py --installed \
		vireo.trellis.reportbook python/vireo/trellis/reportbook.pyi \
		vireo.trellis.datareader.tablemine python/vireo/trellis/datareader/tablemine.pyi

clean:
	rm -rf build dist .venv .venv-* $(DEMO_OUT)
