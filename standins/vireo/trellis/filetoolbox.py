"""Stand-in for the toolkit's file naming helpers.

Replaceable by the toolkit's own ``vireo.trellis.filetoolbox``.  The writer
relies on ``decorfile`` returning a path that ends with the extension asked
for, and on ``IndexFilename`` returning a path no existing file has.
"""
import os


def decorfile(fname, options=None, ext="", indextemplate="(%d)", decor=None):
    """Return ``fname`` + ``ext``, decorated with the run's index when it has one.

    ``decor`` is a list of separators placed before the index (the toolkit
    uses ``["_"]`` for forced names); ``indextemplate`` shapes the index, for
    example "(%d)" or "(%s)".  The index is ``options.fileindex`` when the
    options carry one (a number or a text), otherwise there is none.
    """
    index = getattr(options, "fileindex", None)
    base = str(fname)
    if index not in (None, "", 0):
        base += "".join(decor or []) + indextemplate % (index,)
    return base + ext


def IndexFilename(path):
    """Return ``path``, or ``base(2)ext``, ``base(3)ext``... when it is taken.

    The name returned belongs to no existing file, so storing under it never
    overwrites one.
    """
    path = str(path)
    if not os.path.lexists(path):
        return path
    base, ext = os.path.splitext(path)
    index = 2
    while True:
        candidate = "%s(%d)%s" % (base, index, ext)
        if not os.path.lexists(candidate):
            return candidate
        index += 1
