#!/usr/bin/env bash
# System packages the test suite uses: LibreOffice (headless) as a real
# spreadsheet application to recalculate and render the workbooks, and
# poppler's pdftoppm, pdfinfo and pdftotext for the rendered pages; and the
# development files of zlib and expat, which the reader module links.
#
# --no-install-recommends is enough for headless conversions (no UNO bridge,
# no desktop integration needed); the Liberation fonts, only recommended,
# are asked for by name so that pages render with the metric-compatible
# fonts rather than whatever fontconfig falls back to.
set -euo pipefail
if command -v soffice >/dev/null 2>&1 && command -v pdftoppm >/dev/null 2>&1 \
        && command -v pdftotext >/dev/null 2>&1 && [ -e /usr/include/zlib.h ] \
        && [ -e /usr/include/expat.h ]; then
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends libreoffice-calc-nogui poppler-utils \
    fonts-liberation2 zlib1g-dev libexpat1-dev >/dev/null
