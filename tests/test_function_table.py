"""The modules' function tables: names, parameters, their order and defaults.

The toolkit calls these functions by keyword and relies on the defaults, so
each table is compared entry by entry with the installed stub, which shows the
signature each binding declares, and with the defaults the binding applies.
"""
import ast
import gc
import os

import pytest

from vireo.trellis import reportbook
from vireo.trellis.datareader import tablemine

NONE = None
WRITER = {
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

READER = {
    "searchExcelFile": [("nnxfile",)],
    "getFrameFromExcel": [("filename",), ("sheetname",), ("filetype", ""), ("reduce", False),
                          ("excludedlist", ["", "r2", "pearson", "rmse", "vloo score", "sum"])],
    "getcustomproperties": [("filename",), ("sheetname",), ("keys", []), ("filetype", "")],
    "getcustomproperty": [("filename",), ("sheetname",), ("property",), ("filetype", "")],
    "gettitles": [("filename",), ("filetype", "csv"), ("datarange", ""), ("skipline", 0),
                  ("delimiter", ";"), ("datafmt", NONE)],
    "getranges": [("filename",), ("filetype", "csv")],
    "analyseRangeData": [("filename",), ("filetype", "xls"), ("datarange", ""), ("datafmt", NONE)],
    "dataiterator": [("filename",), ("filetype", "csv"), ("datarange", ""), ("skipline", 0),
                     ("delimiter", ";"), ("datafmt", [0, 1, 2]), ("headerOnly", False)],
    "get_dataframe": [("filename",), ("datarange", ""), ("datafields", NONE),
                      ("sheetname", NONE), ("filetype", "xlsx"), ("indexfield", -1),
                      ("drop", True)],
    "getFrame": [("filename",), ("filetype", ""), ("datarange", ""), ("datafields", NONE),
                 ("indexfield", NONE), ("skipline", 0), ("delimiter", ";")],
}

MODULES = {"reportbook": (reportbook, WRITER), "tablemine": (tablemine, READER)}
ENTRIES = [(module, name) for module, (_m, table) in MODULES.items() for name in sorted(table)]


def stub_functions(module):
    name = module.__name__.rpartition(".")[2]
    path = os.path.join(os.path.dirname(module.__file__), name + ".pyi")
    with open(path, encoding="utf-8") as handle:
        tree = ast.parse(handle.read(), filename=path)
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_parameters(node):
    """[(name,) or (name, default)] as the stub declares them."""
    params = node.args.posonlyargs + node.args.args
    first_default = len(params) - len(node.args.defaults)
    return [(p.arg,) if i < first_default
            else (p.arg, ast.literal_eval(node.args.defaults[i - first_default]))
            for i, p in enumerate(params)]


def applied_defaults(func):
    """The default values the binding applies, in parameter order: nanobind
    holds them as the function's references, which the garbage collector sees."""
    return gc.get_referents(func)


def same(got, want):
    return type(got) is type(want) and got == want


@pytest.mark.parametrize("module", sorted(MODULES))
def test_every_function_is_bound(module):
    mod, table = MODULES[module]
    bound = {name for name, value in vars(mod).items()
             if type(value).__name__ == "nb_func" and value.__name__ == name}
    assert bound == set(table)


@pytest.mark.parametrize("module, name", ENTRIES)
def test_stub_declares_parameters_and_defaults(module, name):
    mod, table = MODULES[module]
    want = table[name]
    declared = stub_parameters(stub_functions(mod)[name])
    assert [p[0] for p in declared] == [p[0] for p in want]
    for got, expected in zip(declared, want):
        assert len(got) == len(expected), got
        if len(expected) == 2:
            assert same(got[1], expected[1]), (got, expected)


@pytest.mark.parametrize("module, name", ENTRIES)
def test_binding_applies_defaults(module, name):
    mod, table = MODULES[module]
    want = table[name]
    applied = applied_defaults(getattr(mod, name))
    defaults = [p[1] for p in want if len(p) == 2]
    assert len(applied) == len(defaults) and all(map(same, applied, defaults)), applied


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
