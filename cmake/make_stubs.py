"""Write the .pyi stubs of the extension modules, run by the build.

    make_stubs.py STAGE MODULE OUTPUT [MODULE OUTPUT ...]

STAGE is a folder that holds the package as it will be installed (the Python
sources and the freshly built extension modules). The modules import numpy,
XlsxWriter, openpyxl, xlrd and six when they load, so those must be importable
by the Python that runs this (the build requirements provide them).

nanobind's stub generator abbreviates long default values to "..."; editors
should show the real defaults, so the length limit is lifted here. Values that
only describe the build (paths into STAGE, the missing pandas) are left out of
the stubs.

The bindings name the types they take and give (src/common/pytypes.hpp) in
pandas, XlsxWriter and typing names that the stub generator imports in the
stub; pandas itself need not be importable here.

The first line of each stub names the nanobind release whose generator wrote
it: the text of a stub differs between releases, and the test that compares
the built stubs with those checked in (tests/stubs/) does so only for the
release they were written with.
"""
import importlib
import inspect
import os
import re
import sys


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
    stage = os.path.abspath(argv[0])
    sys.path.insert(0, stage)
    os.environ["NB_STUBGEN"] = "1"
    for module_name, output in zip(argv[1::2], argv[2::2]):
        generate(stage, module_name, output)


if __name__ == "__main__":
    main(sys.argv[1:])
