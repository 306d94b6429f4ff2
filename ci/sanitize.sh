#!/usr/bin/env bash
# Both modules built with AddressSanitizer and UndefinedBehaviorSanitizer,
# then the whole test suite (the fuzz tests with more examples) run under
# them.  Any sanitizer report, in the test process or in a child it starts,
# fails the run.
#   bash ci/sanitize.sh            (VENV, PYTHON and TRELLIS_FUZZ_EXAMPLES may be set)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv-sanitize}
CXX=${CXX:-c++}

test -x "$VENV/bin/python" || "$PYTHON" -m venv "$VENV"
"$VENV/bin/pip" install -q --upgrade pip
# Its own build folder: the sanitizer setting must not stay in the cache of
# the ordinary builds.
"$VENV/bin/pip" install -q -Cbuild-dir=build/sanitize -Ccmake.define.TRELLIS_WERROR=ON \
    -Ccmake.define.TRELLIS_SANITIZE=address,undefined ".[test]"
# The toolkit's stand-ins, after the package (see the Makefile).
"$VENV/bin/pip" install -q ./standins

# The C++ core's unit tests under the same sanitizers.
command -v cmake >/dev/null || "$VENV/bin/pip" install -q cmake
export PATH="$PATH:$(pwd)/$VENV/bin"
cmake -S . -B build/core-tests-sanitize --log-level=WARNING -DTRELLIS_CORE_TESTS=ON \
    -DTRELLIS_WERROR=ON -DTRELLIS_SANITIZE=address,undefined
cmake --build build/core-tests-sanitize >/dev/null
build/core-tests-sanitize/formula_tests
build/core-tests-sanitize/inflate_tests
build/core-tests-sanitize/crc32_tests

# The interpreter is not instrumented: the runtimes are preloaded so that they
# come first, as ASan requires.
libasan=$("$CXX" -print-file-name=libasan.so)
libubsan=$("$CXX" -print-file-name=libubsan.so)
for lib in "$libasan" "$libubsan"; do
    if [ ! -e "$lib" ]; then
        echo "sanitizer runtime not found: $lib" >&2
        exit 1
    fi
done

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# The interpreter's own allocations are never freed at exit: no leak check.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export TRELLIS_SKIP_LIBREOFFICE=1
export TRELLIS_FUZZ_EXAMPLES=${TRELLIS_FUZZ_EXAMPLES:-60}
# Every call runs a few times slower under the sanitizers: the time limits of
# the suite scale with it.
export TRELLIS_TIME_SCALE=${TRELLIS_TIME_SCALE:-3}

# Left out: the LibreOffice peer (slow, and not our code), the type stubs
# (a sanitizer build writes none) and the tests that cap the address space
# with RLIMIT_AS (ASan reserves terabytes of shadow memory at start).
status=0
LD_PRELOAD="$libasan:$libubsan" "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests \
    --ignore=tests/test_libreoffice.py --ignore=tests/test_stubs.py \
    --deselect tests/test_hostile_files.py::test_entity_expansion_bomb_is_refused \
    || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "=== sanitizer reports ===" >&2
    cat "$reports"/* >&2
    status=1
fi
exit $status
