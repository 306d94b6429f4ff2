"""Write the .pyi stubs of the extension modules.

    make_stubs.py STAGE MODULE OUTPUT [MODULE OUTPUT ...]

STAGE is a folder that holds the package as installed (the Python sources and
the built extension modules), or --installed for the one that holds the
package the running Python imports (its site-packages).  The modules import numpy, XlsxWriter, openpyxl, xlrd and six
when they load, and this imports nanobind's stub generator, so those must be
importable by the Python that runs this.  `make stubs` runs it to write the
stubs checked in beside the package's sources, which the wheel ships; the
tests run it to compare those with the built modules.

nanobind's stub generator abbreviates long default values to "..."; editors
should show the real defaults, so the length limit is lifted here. Values that
only describe the build (paths into STAGE, the missing pandas) are left out of
the stubs.

The bindings name the types they take and give (src/common/pytypes.hpp) in
pandas, XlsxWriter and typing names that the stub generator imports in the
stub; pandas itself need not be importable here.

Every parameter of the modules takes None at run time, so that the function
answers it with its own error, and nanobind writes "T | None" for each.  A
type checker should flag a None where it means nothing, so that " | None" is
dropped from the stubs again, except where the default is None; a parameter
that may be None says so in its type (pytypes::Optional), which nanobind's
" | None" then followed.

The first line of each stub names the nanobind release whose generator wrote
it: the text of a stub differs between releases, and the test that compares
the checked-in stubs with those of the built modules does so only for the
release they were written with.
"""
import ast
import importlib
import inspect
import os
import re
import sys


def drop_added_none(text):
    """The stub text without the " | None" that nanobind adds to the type of
    every parameter that accepts None, but where the default is None."""
    lines = text.splitlines(keepends=True)
    cuts = []
    for node in ast.walk(ast.parse(text)):
        if not isinstance(node, ast.FunctionDef):
            continue
        a = node.args
        params = a.posonlyargs + a.args
        defaults = [None] * (len(params) - len(a.defaults)) + a.defaults
        pairs = list(zip(params, defaults)) + list(zip(a.kwonlyargs, a.kw_defaults))
        for param, default in pairs:
            ann = param.annotation
            if not (isinstance(ann, ast.BinOp) and isinstance(ann.op, ast.BitOr)
                    and isinstance(ann.right, ast.Constant) and ann.right.value is None):
                continue
            if isinstance(default, ast.Constant) and default.value is None:
                continue
            if ann.left.end_lineno != ann.right.end_lineno:
                raise SystemExit("%s: a parameter type spans lines" % node.name)
            cuts.append((ann.right.end_lineno - 1, ann.left.end_col_offset, ann.right.end_col_offset))
    # Offsets count UTF-8 bytes; cut from the end of each line backwards.
    for line, start, end in sorted(cuts, reverse=True):
        raw = lines[line].encode("utf-8")
        lines[line] = (raw[:start] + raw[end:]).decode("utf-8")
    return "".join(lines)


def generate(stage, module_name, output):
    from nanobind.stubgen import StubGen

    module = importlib.import_module(module_name)
    if not os.path.realpath(module.__file__).startswith(os.path.realpath(stage)):
        raise SystemExit("stub generation imported %s from %s, not from the build"
                         % (module_name, module.__file__))
    wanted = dict(module=module, quiet=True, include_docstrings=True,
                  max_expr_length=100000)
    accepted = inspect.signature(StubGen.__init__).parameters
    generator = StubGen(**{k: v for k, v in wanted.items() if k in accepted})
    generator.put(module)
    text = generator.get()
    # A module constant whose value is a path of the build tree (the package
    # folder, say) would name a folder that does not exist once installed.
    stage_re = re.escape(os.path.realpath(stage))
    text = re.sub(r"^(\w+): (\w+) = '%s[^']*'$" % stage_re, r"\1: \2", text, flags=re.M)
    text = re.sub(r"^(\w+): (\w+) = '%s[^']*'$" % re.escape(stage), r"\1: \2", text, flags=re.M)
    # The reader binds pandas, or None where pandas cannot be imported, as in
    # the build.  Installed, the package has pandas (a dependency), and a
    # "pandas: None" would hide the module that the signatures name
    # (pandas.DataFrame); like the other imported modules it is left out.
    text = re.sub(r"^pandas: None = None\n+", "", text, flags=re.M)
    text = drop_added_none(text)
    for name in dir(module):
        if not name.startswith("_") and type(getattr(module, name)).__name__ == "nb_func":
            if not re.search(r"^def %s\(|^%s = " % (name, name), text, flags=re.M):
                raise SystemExit("the stub of %s lacks %s" % (module_name, name))
    import nanobind
    text = "# Written by the stub generator of nanobind %s\n%s" % (nanobind.__version__, text)
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    with open(output, "w", encoding="utf-8") as handle:
        handle.write(text)


def main(argv):
    if len(argv) < 3 or len(argv) % 2 == 0:
        raise SystemExit(__doc__)
    if argv[0] == "--installed":
        import importlib.util
        package = importlib.util.find_spec("vireo.trellis").submodule_search_locations[0]
        stage = os.path.dirname(os.path.dirname(os.path.abspath(package)))
    else:
        stage = os.path.abspath(argv[0])
    sys.path.insert(0, stage)
    os.environ["NB_STUBGEN"] = "1"
    for module_name, output in zip(argv[1::2], argv[2::2]):
        generate(stage, module_name, output)


if __name__ == "__main__":
    main(sys.argv[1:])
