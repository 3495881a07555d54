#!/usr/bin/env python3
"""Writes expression_corpus.txt: well-formed expressions over the test host's
globals and functions (tests/expr/expression_host.h), and damaged copies of
some of them, one a line. The corpus test compiles and runs every line; the
fuzzer can start from it too.

    python3 tests/expr/generate_corpus.py > tests/expr/expression_corpus.txt
"""
import random

rng = random.Random(20261206)

BINARY = ["+", "-", "*", "/", "$", "MOD", "pow", "AND", "or", "EQ", "ne", "GT",
          "lt", "GE", "le", "IN", "CIN", "ein", "ECIN", "BITAND", "bitor", "BITXOR",
          "BITSL", "BITSR", "ROUNDS", "ROUNDF"]
UNARY = ["NOT", "ISNULL", "BITOC", "not", "IsNull"]
VARIABLES = ["a", "b", "n", "s", "g.a", "l.b", "arr[1]", "arr[a - 4]", "rec:x",
             "grid[2][1]:y", "d.NAME", "shop.d.QTY", "database.X", "_u"]


def literal(depth):
    kind = rng.randrange(6)
    if kind == 0:
        return str(rng.randrange(-50, 100))
    if kind == 1:
        return "%d.%d" % (rng.randrange(100), rng.randrange(100))
    if kind == 2:
        words = ["abc", "it\\'s", "x y", "(", ")", ",", "a + b", ""]
        return "'%s'" % rng.choice(words)
    if kind == 3:
        return '"%s"' % rng.choice(["q", "say \\\"hi\\\"", "1,2", "$"])
    if kind == 4:
        return "." + str(rng.randrange(10))
    return rng.choice(["-7", "+3", "-.5"])


def operand(depth):
    kind = rng.randrange(8 if depth < 4 else 3)
    if kind == 0:
        return literal(depth)
    if kind in (1, 2):
        return rng.choice(VARIABLES)
    if kind == 3:
        return "(" + expression(depth + 1) + ")"
    if kind == 4:
        return rng.choice(UNARY) + " " + operand(depth + 1)
    if kind == 5:
        return "twice(" + expression(depth + 1) + ")"
    if kind == 6:
        return "join(" + expression(depth + 1) + ", " + expression(depth + 1) + ")"
    return rng.choice(["n++", "++n", "n--", "--n", "arr[2]++", "rec:c++"])


def expression(depth=0):
    parts = [operand(depth)]
    for _ in range(rng.randrange(4 if depth < 3 else 2)):
        parts.append(rng.choice(BINARY))
        parts.append(operand(depth))
    sep = rng.choice([" ", " ", "  ", "\t"])
    return sep.join(parts)


def damage(text):
    i = rng.randrange(len(text) + 1)
    kind = rng.randrange(4)
    if kind == 0:
        return text[:i] + rng.choice("()[]'\",:#|^+-*") + text[i:]
    if kind == 1:
        return text[:i] + text[i + 1:]
    if kind == 2:
        return text[:i]
    return text[:i] + " " + rng.choice(BINARY + UNARY + ["1", "x", "f("]) + " " + text[i:]


def main():
    lines = []
    while len(lines) < 240:
        lines.append(expression())
    for text in list(lines[:120]):
        lines.append(damage(text))
    for line in lines:
        print(line.replace("\n", " "))


if __name__ == "__main__":
    main()
