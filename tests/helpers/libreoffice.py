"""LibreOffice as a real spreadsheet application for the tests.

``recalculated(path)`` converts a workbook headless and returns the converted
copy: with ``recalc=True`` LibreOffice recalculates every formula on load, so
the copy holds LibreOffice's own results; with ``recalc=False`` it keeps its
default (never recalculate OOXML files) and the copy holds the cached values
the writer stored. ``to_pdf(path)`` renders a workbook to PDF.

Every conversion runs under a timeout and with a private user profile (one per
recalculation mode), and conversions run one at a time: two soffice processes
on one profile lock each other out, and a hung soffice must not hang the suite.
"""
import os
import shutil
import subprocess
import tempfile
import threading

import pytest

from helpers.limits import seconds

TIMEOUT = seconds(120.0)

# Values of LibreOffice's Calc "Recalculation on File Load" setting.
_RECALC_ALWAYS = 0

_lock = threading.Lock()
_profiles = {}


def soffice_path():
    for name in ("soffice", "libreoffice"):
        found = shutil.which(name)
        if found:
            return found
    return None


def soffice_available():
    return soffice_path() is not None


def pdftoppm_available():
    return shutil.which("pdftoppm") is not None


def require_soffice():
    """Skip the calling test without LibreOffice; under CI its absence is a failure.

    TRELLIS_SKIP_LIBREOFFICE=1 skips on purpose (the sanitizer run preloads its
    runtimes, which LibreOffice's own processes must not inherit).
    """
    if os.environ.get("TRELLIS_SKIP_LIBREOFFICE"):
        pytest.skip("LibreOffice tests switched off by TRELLIS_SKIP_LIBREOFFICE")
    if soffice_available():
        return
    if os.environ.get("CI"):
        pytest.fail("LibreOffice (soffice) is required under CI but was not found")
    pytest.skip("LibreOffice (soffice) is not installed")


def require_pdftoppm():
    if pdftoppm_available():
        return
    if os.environ.get("CI"):
        pytest.fail("pdftoppm (poppler-utils) is required under CI but was not found")
    pytest.skip("pdftoppm (poppler-utils) is not installed")


_XCU_HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry"
 xmlns:xs="http://www.w3.org/2001/XMLSchema"
 xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
"""

_XCU_RECALC = """<item oor:path="/org.openoffice.Office.Calc/Formula/Load">\
<prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>%d</value></prop></item>
<item oor:path="/org.openoffice.Office.Calc/Formula/Load">\
<prop oor:name="ODFRecalcMode" oor:op="fuse"><value>%d</value></prop></item>
"""

# No first-start wizard, no tip of the day, no crash-report dialogue: each
# could keep a headless process waiting.
_XCU_QUIET = """<item oor:path="/org.openoffice.Setup/Office">\
<prop oor:name="FirstStartWizardCompleted" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc">\
<prop oor:name="ShowTipOfTheDay" oor:op="fuse"><value>false</value></prop></item>
"""


def _profile(recalc):
    """A user profile directory kept for the session, one per recalculation mode."""
    key = bool(recalc)
    if key not in _profiles:
        root = tempfile.mkdtemp(prefix="trellis-lo-%s-" % ("recalc" if key else "cached"))
        user = os.path.join(root, "user")
        os.makedirs(user)
        body = _XCU_QUIET
        if key:
            body += _XCU_RECALC % (_RECALC_ALWAYS, _RECALC_ALWAYS)
        with open(os.path.join(user, "registrymodifications.xcu"), "w", encoding="utf-8") as f:
            f.write(_XCU_HEAD + body + "</oor:items>\n")
        _profiles[key] = root
    return _profiles[key]


def _profile_url(root):
    path = os.path.abspath(root).replace("\\", "/")
    if not path.startswith("/"):
        path = "/" + path
    return "file://" + path


def convert(path, fmt, recalc=False, outdir=None, timeout=TIMEOUT):
    """Convert ``path`` to ``fmt`` (an extension or "ext:FilterName") and return the new file's path."""
    exe = soffice_path()
    if exe is None:
        raise RuntimeError("LibreOffice (soffice) is not installed")
    path = os.path.abspath(str(path))
    outdir = os.path.abspath(str(outdir)) if outdir else tempfile.mkdtemp(prefix="trellis-lo-out-")
    os.makedirs(outdir, exist_ok=True)
    ext = fmt.split(":", 1)[0]
    base = os.path.splitext(os.path.basename(path))[0]
    target = os.path.join(outdir, base + "." + ext)
    if os.path.abspath(target) == path:
        # Same name and folder: convert into a sub-folder rather than over the source.
        outdir = os.path.join(outdir, "converted")
        os.makedirs(outdir, exist_ok=True)
        target = os.path.join(outdir, base + "." + ext)
    if os.path.exists(target):
        os.remove(target)
    cmd = [exe, "-env:UserInstallation=" + _profile_url(_profile(recalc)),
           "--headless", "--norestore", "--nolockcheck", "--nodefault", "--nologo",
           "--convert-to", fmt, "--outdir", outdir, path]
    env = dict(os.environ)
    env.setdefault("HOME", tempfile.gettempdir())
    with _lock:
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=env, start_new_session=True)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill_group(proc)
            raise RuntimeError("soffice did not finish converting %s within %.0f s" % (path, timeout))
    if proc.returncode != 0 or not os.path.exists(target):
        raise RuntimeError("soffice failed to convert %s (exit %s): %s %s"
                           % (path, proc.returncode, out.decode(errors="replace"),
                              err.decode(errors="replace")))
    return target


def _kill_group(proc):
    # soffice forks its real process (soffice.bin): end the whole group we started.
    import signal
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        proc.kill()
    proc.communicate()


def recalculated(path, recalc=True, fmt="xlsx", outdir=None, timeout=TIMEOUT):
    """A copy of the workbook saved by LibreOffice, recalculated on load when ``recalc``."""
    filters = {"xlsx": "xlsx:Calc MS Excel 2007 XML", "ods": "ods", "csv": "csv"}
    return convert(path, filters.get(fmt, fmt), recalc=recalc, outdir=outdir, timeout=timeout)


def to_pdf(path, outdir=None, timeout=TIMEOUT):
    """The workbook rendered to PDF by LibreOffice (cached values, no recalculation)."""
    return convert(path, "pdf", recalc=False, outdir=outdir, timeout=timeout)


def pdf_to_png(pdf, outdir=None, dpi=40, timeout=TIMEOUT):
    """Each PDF page as a PNG (pdftoppm), in page order."""
    outdir = os.path.abspath(str(outdir)) if outdir else tempfile.mkdtemp(prefix="trellis-png-")
    os.makedirs(outdir, exist_ok=True)
    prefix = os.path.join(outdir, "page")
    subprocess.run(["pdftoppm", "-r", str(dpi), "-png", str(pdf), prefix],
                   check=True, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    pages = [f for f in os.listdir(outdir) if f.startswith("page") and f.endswith(".png")]
    pages.sort(key=lambda f: int(f[len("page-"):-len(".png")]))
    return [os.path.join(outdir, f) for f in pages]


@pytest.fixture
def soffice():
    """Use in a test to require LibreOffice (skip without it, fail under CI)."""
    require_soffice()
    return soffice_path()
