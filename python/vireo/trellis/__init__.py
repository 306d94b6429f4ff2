"""Result workbooks of training campaigns.

``vireo.trellis.reportbook`` finishes the workbooks the toolkit writes through
pandas; ``vireo.trellis.datareader.tablemine`` reads workbooks and delimited
text files back into pandas Frames.
"""
