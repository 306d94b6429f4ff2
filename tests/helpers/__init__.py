"""What the tests share, one module per concern; tests import only from here.

- limits: the suite's time limits, scaled for the machine
- writer_input: run options, Frames and pandas writers handed to the writer
- readback: a saved workbook read back as a user meets it (cells, columns,
  properties, scores)
- charts: the charts of a saved workbook
- reference_books: the workbooks of tests/reference/, made from fixed inputs, and
  their parts normalised
- reader_files: workbooks and text files made for the reader
- fuzz: hostile arguments for every bound function, and the values they act on
- libreoffice: LibreOffice as a spreadsheet application that recalculates
"""
