"""The modules' function tables: names, parameters, their order and defaults.

The toolkit calls these functions by keyword and relies on the defaults.  The
stubs checked in beside the package's sources are the tables: test_stubs.py
compares the built modules' stubs with them, and here every binding is
checked to apply the defaults they declare.
"""
import ast
import gc
import os

import pytest

from vireo.trellis import reportbook
from vireo.trellis.datareader import tablemine

SOURCES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "python", "vireo", "trellis")
GOLDEN = {"reportbook": os.path.join(SOURCES, "reportbook.pyi"),
          "tablemine": os.path.join(SOURCES, "datareader", "tablemine.pyi")}
MODULES = {"reportbook": reportbook, "tablemine": tablemine}


def stub_functions(path):
    """name -> the definitions of an (overloaded) function, in order."""
    with open(path, encoding="utf-8") as handle:
        tree = ast.parse(handle.read(), filename=path)
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


def stub_parameters(node):
    """[(name,) or (name, default)] as the stub declares them."""
    params = node.args.posonlyargs + node.args.args
    first_default = len(params) - len(node.args.defaults)
    return [(p.arg,) if i < first_default
            else (p.arg, ast.literal_eval(node.args.defaults[i - first_default]))
            for i, p in enumerate(params)]


# Each overload holds its own defaults: the parameters of all, in order.
TABLES = {module: {name: [p for node in nodes for p in stub_parameters(node)] for name, nodes in
                   stub_functions(GOLDEN[module]).items()}
          for module in MODULES}
ENTRIES = [(module, name) for module in sorted(TABLES) for name in sorted(TABLES[module])]


def applied_defaults(func):
    """The default values the binding applies, in parameter order: nanobind
    holds them as the function's references, which the garbage collector sees."""
    return gc.get_referents(func)


def same(got, want):
    return type(got) is type(want) and got == want


@pytest.mark.parametrize("module", sorted(MODULES))
def test_every_function_is_bound(module):
    bound = {name for name, value in vars(MODULES[module]).items()
             if type(value).__name__ == "nb_func" and value.__name__ == name}
    assert bound == set(TABLES[module])


@pytest.mark.parametrize("module, name", ENTRIES)
def test_binding_applies_defaults(module, name):
    applied = applied_defaults(getattr(MODULES[module], name))
    defaults = [p[1] for p in TABLES[module][name] if len(p) == 2]
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
