"""Result workbooks of training campaigns.

``vireo.trellis.reportbook`` finishes the workbooks the toolkit writes through
pandas; ``vireo.trellis.datareader.tablemine`` reads workbooks and delimited
text files back into pandas Frames.
"""
from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("vireo-trellis")
except _metadata.PackageNotFoundError:
    # Imported from a source tree or a build's staging folder, not installed.
    __version__ = "0+unknown"
