"""Readers of workbooks and delimited text files.

``tablemine`` (the extension module) builds Frames, property dictionaries and
row iterators; ``excel`` and ``datasource``, the reader classes it works
through, are the toolkit's (or those of the vireo-trellis-standins
distribution).
"""
