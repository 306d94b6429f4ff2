#!/usr/bin/env bash
# The README's test command against Debian 12's own Python packages (the
# toolkit's platform) on this machine: /usr/bin/python3 with python3-pandas
# and the rest of ci/debian-packages.txt, in an environment that sees them;
# pip adds only what Debian lacks (ci/debian.txt, and the build requirements).
# Then the demo, whose workbooks ci/armhf.sh compares with those built there.
#   bash ci/debian.sh [DEMO_OUT]          (as root, on Debian 12)
set -euo pipefail
cd "$(dirname "$0")/.."
demo_out=${1:-build/demo-debian-$(uname -m)}

packages=$(grep -v -e '^#' -e '^$' ci/debian-packages.txt)
# shellcheck disable=SC2086
if ! dpkg-query -W $packages >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $packages >/dev/null
fi

make test PYTHON=/usr/bin/python3 SYSTEM_PACKAGES=1 CONSTRAINTS=ci/debian.txt \
    VENV="${VENV:-.venv-ci-debian}" WERROR=1
make demo PYTHON=/usr/bin/python3 SYSTEM_PACKAGES=1 CONSTRAINTS=ci/debian.txt \
    VENV="${VENV:-.venv-ci-debian}" WERROR=1 DEMO_OUT="$demo_out" >/dev/null
