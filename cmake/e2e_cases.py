#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Prints the test classes of an end-to-end test file, one a line, for
cmake/tests.cmake, which registers each as a test of its own so that CTest
can run them side by side. Read with ast, never imported: a class is a
test class when unittest.TestCase is among its bases, directly or through
a class of the same file. Nothing is printed for a file whose classes it
can't tell apart; the file is then one test, whole."""

import ast
import sys


def test_classes(path):
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    bases = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            bases[node.name] = [ast.unparse(base) for base in node.bases]

    def is_test_case(name, seen=()):
        return any(base in ("unittest.TestCase", "TestCase")
                   or (base in bases and base not in seen and is_test_case(base, seen + (name,)))
                   for base in bases.get(name, []))
    return [name for name in bases if is_test_case(name)]


if __name__ == "__main__":
    print("\n".join(test_classes(sys.argv[1])))
