"""Calls into the package as a user writes them, for the type checkers only
(ci/typecheck.sh; never run): each checker must report an error on every line
marked "# mistake" and on no other line."""
import pathlib

import xlsxwriter

from vireo.trellis import reportbook
from vireo.trellis.datareader import tablemine

path = pathlib.Path("results.xlsx")
book = xlsxwriter.Workbook("checked.xlsx")

# --- right ---------------------------------------------------------------
frame = tablemine.getFrameFromExcel("results.xlsx", "Results", reduce=True)
if frame is not None:
    print(frame.shape)
every = tablemine.getFrameFromExcel(path, None)
if every is not None:
    print(every["Results"].shape)
some = tablemine.getFrameFromExcel(path, [0, "Results"])
if some is not None:
    print(some[0].shape)
print(tablemine.getcustomproperties(path, "Utilities")["Model file"])
found: str = tablemine.searchExcelFile(pathlib.Path("model.nnx"))
found = tablemine.searchExcelFile(b"model.nnx")
print(tablemine.get_dataframe(path, sheetname=None, datafields=None).shape)
print(reportbook.getCustomDict(object(), versionDict=None))
print(reportbook.getBestTrainChart(book, 1, 2, 5, 0.0, 1.0, "logP", None, "mg", "Training"))
print(reportbook.new_line_chart(book, "Results", 5, 0, 1, 2, "RMSE"))
reportbook.getLevFormat(book).set_bold()

# --- wrong ---------------------------------------------------------------
tablemine.getFrameFromExcel(None, None)  # mistake: None is no file name
tablemine.getFrameFromExcel(b"results.xlsx", 0)  # mistake: bytes, which this reader does not open
tablemine.getFrameFromExcel(path, 0, excludedlist=3)  # mistake: a number for the labels
print(tablemine.getFrameFromExcel(path, None).shape)  # mistake: a dict of Frames (or None) has no shape
print(reportbook.new_line_chart(book, "Results", "5", 0, 1, 2, "RMSE"))  # mistake: a str for an int
reportbook.getLevFormat(None)  # mistake: None is no workbook
tablemine.searchExcelFile(3)  # mistake: a number is no path
found = tablemine.getcustomproperty(path, "Utilities", None)  # mistake: None is no property name
