"""What the reader module offers once loaded."""
import io
import os
import subprocess
import sys

import pytest
import six
import xlrd

from helpers.limits import seconds
from vireo.trellis.datareader import datasource, excel, tablemine as tm

FUNCTIONS = ["searchExcelFile", "getFrameFromExcel", "getcustomproperties", "getcustomproperty",
             "gettitles", "getranges", "analyseRangeData", "dataiterator", "dataiteratorloc",
             "get_dataframe", "getFrame"]


def test_attributes_in_load_order():
    names = [n for n in vars(tm) if not n.startswith("__")]
    assert names == ["os", "sys", "csv", "np", "XLRDError", "Excel", "ExcelCsv", "ExcelXP",
                     "getExcelType", "xlrd", "text_type", "StringIO", "pandas",
                     "corvidExcelError"] + FUNCTIONS
    assert tm.XLRDError is xlrd.XLRDError and tm.xlrd is xlrd
    assert (tm.Excel, tm.ExcelCsv, tm.ExcelXP) == (excel.Excel, excel.ExcelCsv, excel.ExcelXP)
    assert tm.getExcelType is datasource.getExcelType
    assert tm.text_type is six.text_type and tm.StringIO is io.StringIO
    assert tm.pandas is sys.modules["pandas"] and tm.os is os
    assert tm.dataiteratorloc is tm.dataiterator


def test_error_class():
    err = tm.corvidExcelError
    assert err.__bases__ == (Exception,)
    assert err.__module__ == "vireo.trellis.datareader.tablemine" and err.__name__ == "corvidExcelError"
    assert err.__doc__ is None
    with pytest.raises(err):
        raise err("x")


def test_keyword_parameters():
    # every parameter by keyword, searchExcelFile's by position only
    assert tm.getFrame(filename="x.ods", filetype="", datarange="", datafields=None, indexfield=None,
                       skipline=0, delimiter=";") is None
    assert tm.gettitles(filename="x", filetype="ods", datarange="", skipline=0, delimiter=";",
                        datafmt=None) == []
    assert list(tm.dataiterator(filename="x", filetype="ods", datarange="", skipline=0, delimiter=";",
                                datafmt=[], headerOnly=False)) == []
    with pytest.raises(TypeError):
        tm.searchExcelFile(nnxfile="x.nnx")


def test_loads_without_pandas():
    code = ("import sys; sys.modules['pandas'] = None\n"
            "from vireo.trellis.datareader import tablemine as tm\n"
            "assert tm.pandas is None\n"
            "assert tm.getFrameFromExcel('a.csv', 'S') is None\n"
            "try:\n    tm.getFrameFromExcel('a.xlsx', 'S')\nexcept AttributeError:\n    print('refused')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=seconds(60))
    assert out.returncode == 0, out.stderr
    assert out.stdout == "refused\n"
