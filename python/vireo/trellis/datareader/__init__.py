"""Readers of workbooks and delimited text files.

``tablemine`` (the extension module) builds Frames, property dictionaries and
row iterators; ``excel`` and ``datasource`` hold the reader classes it works
through.
"""
