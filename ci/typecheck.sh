#!/usr/bin/env bash
# The type checker (mypy) over the demo, the command-line reader and the
# examples, as a user's code meets the installed package and its stubs:
#   bash ci/typecheck.sh VENV
# VENV holds the package, installed (`make test` makes one).  mypy and
# pandas' stubs (pandas ships no annotations of its own) are installed into
# it; XlsxWriter's annotations come without a py.typed marker, so mypy is
# told to read them.  The files are checked from a copy outside the source
# tree, so that `vireo` is the installed package with its stubs, not the
# sources (which hold no built module).
set -euo pipefail
venv=$(cd "${1:?usage: ci/typecheck.sh VENV}" && pwd)
cd "$(dirname "$0")/.."

"$venv/bin/pip" install -q mypy pandas-stubs

files=(python/vireo/trellis/demo.py python/vireo/trellis/readtool.py examples/*.py)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rename=()
for f in "${files[@]}"; do
    cp "$f" "$work/"
    rename+=(-e "s|^$(basename "$f"):|$f:|")
done
cat >"$work/mypy.ini" <<'EOF'
[mypy]
# The demo's functions carry no annotations: check their bodies all the same.
check_untyped_defs = True

[mypy-xlsxwriter.*]
follow_untyped_imports = True
EOF

cd "$work"
status=0
"$venv/bin/python" -m mypy --config-file mypy.ini "${files[@]##*/}" >mypy.out 2>&1 || status=$?
sed "${rename[@]}" mypy.out
exit $status
