#!/usr/bin/env python3
"""Prints the test classes of a unittest module, one name a line: every
TestCase class in the module's namespace that unittest finds tests in, its
own or inherited, as `python3 -m unittest MODULE.CLASS` runs them.

    unittest_classes.py tests/native/cli/test_zefa1id.py

The module is imported from its folder, with this folder on the path as
well (boardsim.py); no bytecode is written. Exits 1 when the module cannot
be imported or holds no test.
"""

import importlib
import inspect
import os
import sys
import unittest


def test_classes(module):
    loader = unittest.TestLoader()
    names = []
    for name, value in sorted(vars(module).items()):
        if inspect.isclass(value) and issubclass(value, unittest.TestCase) and loader.getTestCaseNames(value):
            names.append(name)
    return names


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: unittest_classes.py MODULE.py")
    path = os.path.abspath(sys.argv[1])
    sys.dont_write_bytecode = True
    sys.path[:0] = [os.path.dirname(path), os.path.dirname(os.path.abspath(__file__))]
    module = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
    names = test_classes(module)
    if not names:
        sys.exit("%s holds no unittest test" % path)
    print("\n".join(names))


if __name__ == "__main__":
    main()
