#!/usr/bin/env bash
# System packages the test suite uses: LibreOffice (headless) as a real
# spreadsheet application to recalculate and render the workbooks, and
# poppler's pdftoppm for the rendered pages.
set -euo pipefail
if command -v soffice >/dev/null 2>&1 && command -v pdftoppm >/dev/null 2>&1; then
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends libreoffice-calc-nogui poppler-utils >/dev/null
