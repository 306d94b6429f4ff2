"""`python -m vireo.trellis`: what the package runs from the command line.

The demo and the reader are modules of their own (and console scripts):
``python -m vireo.trellis.demo`` (trellis-demo) runs the demo campaign,
``python -m vireo.trellis.readtool`` (trellis-read) reads workbooks back.
This prints the help of both.
"""
import sys


def main(argv=None):
    from vireo.trellis import demo, readtool

    print(__doc__.split("\n\n", 1)[1].rstrip())
    for name, parser in (("demo", demo.build_parser()), ("readtool", readtool.build_parser())):
        parser.prog = "python -m vireo.trellis." + name
        print()
        parser.print_help()
    return 0


if __name__ == "__main__":
    sys.exit(main())
