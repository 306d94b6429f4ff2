"""Stand-in for the toolkit's general helpers used by the writer.

Replaceable by the toolkit's own ``vireo.trellis.utils``; each function keeps
only the contract the writer relies on.
"""
import math
import os

# Installation folder of the toolkit: the writer looks for "vbaProject.bin"
# in it and in its "bin" and "data" subfolders.
home = os.path.dirname(os.path.abspath(__file__))


def make_extern(path, options=None):
    """Return the form of ``path`` shown to the user.

    The toolkit maps paths of its containers to the host's; here the path is
    only made text, with ``options.externprefix`` in front when the options
    carry one.
    """
    prefix = getattr(options, "externprefix", "") or ""
    return prefix + str(path)


_CALLERS = {
    0: "command line",
    1: "graphical interface",
    2: "script",
    3: "web service",
}


def callerstr(caller):
    """Return the text naming the kind of call that started the run."""
    return _CALLERS.get(caller, str(caller))


def hasOneOf(actions, names):
    """True when the list of actions holds at least one of ``names``."""
    if not actions:
        return False
    return any(name in actions for name in names)


def quote(name, blankCond=True):
    """Return the sheet name single-quoted for a formula, quotes doubled inside.

    With ``blankCond`` true the name is always quoted; with it false only
    names holding a character other than letters, digits and "_" are.
    """
    name = str(name)
    if not blankCond and name.replace("_", "").isalnum():
        return name
    return "'%s'" % name.replace("'", "''")


def axisMinMax(minVal, maxVal, padding=0.05):
    """Return (low, high): the data bounds widened by ``padding`` of the spread.

    Non-finite bounds give none for that side (the chart then picks its own).
    """
    low, high = float(minVal), float(maxVal)
    if not (math.isfinite(low) and math.isfinite(high)):
        return (low if math.isfinite(low) else None, high if math.isfinite(high) else None)
    spread = (high - low) * padding
    if spread == 0:
        spread = abs(high) * padding or padding
    return (low - spread, high + spread)
