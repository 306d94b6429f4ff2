"""The installed package ships type stubs that match what the modules bind."""
import ast
import os
import re

import pytest

import vireo.trellis
from vireo.trellis import reportbook
from vireo.trellis.datareader import tablemine

PACKAGE = os.path.dirname(vireo.trellis.__file__)
STUBS = [(reportbook, os.path.join(PACKAGE, "reportbook.pyi")),
         (tablemine, os.path.join(PACKAGE, "datareader", "tablemine.pyi"))]


def bound_functions(module):
    return {name: getattr(module, name) for name in dir(module)
            if type(getattr(module, name)).__name__ == "nb_func"}


def binding(func):
    """(parameter names, {name: default}) as nanobind holds them."""
    text, _doc, defaults = func.__nb_signature__[0]
    text = re.sub(r"\\(\d+)", r"__default\1", text)
    args = ast.parse(text.split(" -> ")[0] + ": pass").body[0].args
    params = args.posonlyargs + args.args
    names = [a.arg for a in params]
    given = {}
    for arg, default in zip(params[len(params) - len(args.defaults):], args.defaults):
        index = int(default.id[len("__default"):])
        given[arg.arg] = defaults[index]
    return names, given


def stub_tree(path):
    with open(path, encoding="utf-8") as handle:
        return ast.parse(handle.read(), filename=path)


def test_package_is_marked_typed():
    assert os.path.isfile(os.path.join(PACKAGE, "py.typed"))
    for _module, path in STUBS:
        assert os.path.isfile(path), path


@pytest.mark.parametrize("module, path", STUBS, ids=["reportbook", "tablemine"])
def test_stub_names_every_function_with_its_defaults(module, path):
    tree = stub_tree(path)
    defs = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    aliases = {node.targets[0].id: node.value.id for node in tree.body
               if isinstance(node, ast.Assign) and isinstance(node.value, ast.Name)}
    functions = bound_functions(module)
    assert functions
    for name, func in functions.items():
        node = defs.get(name) or defs.get(aliases.get(name))
        assert node is not None, "%s is missing from %s" % (name, path)
        names, defaults = binding(func)
        params = node.args.posonlyargs + node.args.args
        assert [a.arg for a in params] == names, name
        stub_defaults = dict(zip([a.arg for a in params[len(params) - len(node.args.defaults):]],
                                 node.args.defaults))
        assert sorted(stub_defaults) == sorted(defaults), name
        for param, value in defaults.items():
            # Every default is written out in full, not abbreviated to "...".
            shown = ast.literal_eval(stub_defaults[param])
            assert type(shown) is type(value) and shown == value, (name, param)


def test_stub_holds_no_build_paths():
    text = open(STUBS[0][1], encoding="utf-8").read()
    assert re.search(r"^home: str$", text, flags=re.M)
    assert "stub-stage" not in text and "/build/" not in text


def test_stub_declares_the_reader_error_class():
    tree = stub_tree(STUBS[1][1])
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert [base.id for base in classes["corvidExcelError"].bases] == ["Exception"]
