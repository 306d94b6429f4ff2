"""The writer module's function table: names, parameters, their order and defaults.

The toolkit calls these functions by keyword and relies on the defaults, so
the table is compared entry by entry with what the module binds.
"""
import ast
import re

import pytest

from vireo.trellis import reportbook

NONE = None
TABLE = {
    "getExcelFileName": [("options",), ("forcename", ""), ("ext", ".xlsm")],
    "getVbaProjectBin": [("targetfolder", "")],
    "getCustomDict": [("options",), ("versionDict", NONE)],
    "createFileInfo": [("filename",), ("gmProperties",), ("gmCustomProperties",)],
    "getLevFormat": [("Book",)],
    "getResFormat": [("Book",)],
    "getRoundoffFormat": [("Book",)],
    "getMeasuredFormat": [("Book",)],
    "getTextCenteredFormat": [("Book",)],
    "getIDformat": [("Book",)],
    "getIntegerformat": [("Book",)],
    "getMaxrecFormat": [("Book",)],
    "getThresholdFormat": [("Book",)],
    "getBestTrainChart": [("Book",), ("expectedcol",), ("computedcol",), ("datacount",),
                          ("minExpect",), ("maxExpect",), ("pptyname",), ("besttrain",),
                          ("pptyunit",), ("mastersheetname",), ("decorator", ""),
                          ("titleprefix", ""), ("chartname", ""), ("diagvalues", "")],
    "getTestChart": [("Book",), ("expectedcols",), ("computedcol",), ("names",), ("colors",),
                     ("shapes",), ("pptyname",), ("pptyunit",), ("testsheetname",),
                     ("datacount",), ("minExpect",), ("maxExpect",), ("decorator",),
                     ("diagvalues", "")],
    "getSheet": [("writer",), ("sheetname",)],
    "enrichSimpleSheet": [("Book",), ("Sheet",), ("Frame",), ("writer", NONE)],
    "enrichRecapSheet": [("Book",), ("Sheet",), ("Frame",)],
    "enrichResultSheet": [("Book",), ("Sheet",), ("Frame",)],
    "setMinMaxOnSheet": [("UtilSheet",), ("Sheet",), ("Frame",), ("expectedCol",),
                         ("deltaRow",), ("infolen",)],
    "enrichTrainSheet": [("Book",), ("Sheet",), ("Frame",), ("resultcount",), ("besttrain",),
                         ("resultColumn",), ("pptyname",), ("paramcount",), ("infolen",)],
    "enrichTestSheet": [("Book",), ("Sheet",), ("Frame",), ("resultColumn",), ("maxreclist",),
                        ("leveragethreshold",), ("verbose",), ("infolen", -1)],
    "enrichLOOTrainSheet": [("Book",), ("Sheet",), ("Frame",), ("resultColumn",), ("LOOlen",),
                            ("resultCount",), ("verbose",), ("LOOmaxrec",), ("infolen",)],
    "enrichLOOTestSheet": [("Book",), ("Sheet",), ("Frame",), ("resultColumn",)],
    "enrichBSTrainSheet": [("Book",), ("Sheet",), ("Frame",), ("resultColumn", 2),
                           ("infolen", -1)],
    "enrichBSTestSheet": [("Book",), ("Sheet",), ("Frame",)],
    "new_rows_line_chart": [("Book",), ("sheetname",), ("datarow",), ("datacol",), ("width",),
                            ("stddevvalues", []), ("serienames", []), ("title", ""),
                            ("x_axis", ""), ("y_axis", "")],
    "new_line_chart": [("Book",), ("sheetname",), ("datacount",), ("IDcol",), ("RMSEcol",),
                       ("VLOOcol",), ("title",), ("x_axis", ""), ("y_axis", ""),
                       ("x_format", "0.000"), ("y_format", "0.000")],
    "new_scatter_chart": [("Book",), ("names",), ("sheetname",), ("datacount",), ("minVal",),
                          ("maxVal",), ("expectedcol",), ("computedcol",), ("labelcol",),
                          ("title",), ("x_axis",), ("y_axis",), ("colors",), ("shapes",),
                          ("bisectorcolor", "green"), ("diagValues", ""), ("padding", 0.05)],
    "outputmarker": [("filename",), ("indirect", False)],
    "initiateExcelWriter": [("excelwriter",), ("modeldic",), ("gmCustomProperties",),
                            ("origin", ""), ("recap", False)],
    "enrichExcelFile": [("excelwriter",), ("pptyname",), ("besttrainindex", 0),
                        ("sheetList", []), ("frameList", []), ("paramcount", 0),
                        ("resultcount", 0), ("leveragethreshold", 1.0), ("maxreclist", ["_"]),
                        ("infolen", -1), ("trainresultColumn", 1), ("testresultColumn", -1),
                        ("LOOResultTrainColumn", 3), ("loowidth", 1), ("LOOlen", 0),
                        ("LOOmaxrec", 0), ("pptyunit", ""), ("decorindex", 0),
                        ("decorindexLOO", 0), ("traintype", ""), ("verbosexls", 0)],
    "enrichRecapExcelFile": [("excelwriter",), ("options",), ("recapname", ""),
                             ("recapframe", NONE), ("nametemplate", ""),
                             ("sumaryframelist", [])],
    "enrichExcelPreproc": [("excelwriter",), ("sheetName",), ("filename",), ("do_vba", False)],
    "finishExcel": [("excelwriter",), ("options",), ("gmCustomProperties",), ("sheetList",),
                    ("frameList",), ("modeldic",), ("libfilename",), ("IDlist",),
                    ("trainresultColumn",), ("testresultColumn",), ("LOOResultTrainColumn",),
                    ("loowidth",), ("traintype",), ("tempres",)],
}


def bound_parameters(func):
    """[(name,) or (name, default)] read from the binding's own signature."""
    text, _doc, defaults = func.__nb_signature__[0]
    # nanobind writes defaults as \\0, \\1...: the values are in `defaults`.
    text = re.sub(r"\\\d+", "None", text)
    tree = ast.parse(text.split(" -> ")[0] + ": pass")
    args = tree.body[0].args
    names = [a.arg for a in args.posonlyargs + args.args]
    defaults = list(defaults or ())
    first_default = len(names) - len(defaults)
    return [(n,) if i < first_default else (n, defaults[i - first_default])
            for i, n in enumerate(names)]


def test_every_function_is_bound():
    bound = {name for name in vars(reportbook) if type(getattr(reportbook, name)).__name__ == "nb_func"}
    assert bound == set(TABLE)


@pytest.mark.parametrize("name", sorted(TABLE))
def test_parameters_and_defaults(name):
    params = bound_parameters(getattr(reportbook, name))
    assert [p[0] for p in params] == [p[0] for p in TABLE[name]]
    for got, want in zip(params, TABLE[name]):
        assert len(got) == len(want), got
        if len(want) == 2:
            assert type(got[1]) is type(want[1]) and got[1] == want[1], (got, want)


def test_list_defaults_are_one_shared_list():
    for name, params in TABLE.items():
        for got in bound_parameters(getattr(reportbook, name)):
            if len(got) == 2 and isinstance(got[1], list):
                again = dict(p for p in bound_parameters(getattr(reportbook, name)) if len(p) == 2)
                assert again[got[0]] is got[1], (name, got[0])


def test_constants_in_order():
    names = [n for n in vars(reportbook) if n in
             ("simpleRangeType", "multiRangesType", "VBA_USE", "NUM_FORMAT", "levsumcomment",
              "gmProperties")]
    assert names == ["simpleRangeType", "multiRangesType", "VBA_USE", "NUM_FORMAT",
                     "levsumcomment", "gmProperties"]
    assert reportbook.simpleRangeType == ["csv", "txt"]
    assert reportbook.multiRangesType == ["xls", "xlsx", "xlsm"]
    assert reportbook.VBA_USE == 1 and reportbook.NUM_FORMAT == "0.000"
    assert reportbook.levsumcomment % 12 == (
        "The sum of leverages must be an integer equal the number of parameters of the model ( 12 )")
    assert list(reportbook.gmProperties) == [
        "title", "subject", "author", "company", "category", "keywords", "comments"]
    assert reportbook.gmProperties["author"] == "Orrin Vale, Tamsin Hale"


def test_argument_errors_name_the_function():
    with pytest.raises(TypeError, match="getSheet"):
        reportbook.getSheet(None)
    with pytest.raises(TypeError, match="outputmarker"):
        reportbook.outputmarker("a", nosuch=1)
