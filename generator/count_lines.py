#!/usr/bin/env python3
"""How much C++ the generator writes for each line of model.

Model lines: the non-blank lines of every `*/*.toml` below the source root
(tests/ and build/ left out) that are not `#` comments. Generated lines: the
non-blank lines of every .h and .cc below the generated directory that are
neither `//` comments nor inside `/* */` blocks.

Usage: count_lines.py [--root DIR] [--gen DIR]
Prints: model lines, generated lines, ratio.
"""

import argparse
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def model_lines(root):
    n = 0
    for path in sorted(root.glob("*/*.toml")):
        if path.parent.name in ("tests", "build"):
            continue
        n += sum(1 for line in path.read_text().splitlines() if line.strip() and not line.lstrip().startswith("#"))
    return n


def code_lines(text):
    n, in_block = 0, False
    for line in text.splitlines():
        s = line.strip()
        if in_block:
            if "*/" in s:
                in_block = False
                s = s[s.index("*/") + 2:].strip()
            else:
                continue
        if s.startswith("/*"):
            if "*/" not in s[2:]:
                in_block = True
                continue
            s = s[s.index("*/", 2) + 2:].strip()
        if s and not s.startswith("//"):
            n += 1
    return n


def generated_lines(gen):
    return sum(code_lines(p.read_text()) for p in sorted(gen.rglob("*")) if p.suffix in (".h", ".cc") and p.is_file())


def figures(root, gen):
    m, g = model_lines(root), generated_lines(gen)
    return m, g, g / m if m else float("inf")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", type=pathlib.Path, default=HERE.parent)
    ap.add_argument("--gen", type=pathlib.Path, default=HERE.parent / "build" / "default" / "gen")
    args = ap.parse_args(argv)
    if not args.gen.is_dir():
        print(f"count_lines: no generated directory {args.gen}", file=sys.stderr)
        return 1
    m, g, ratio = figures(args.root, args.gen)
    print(f"model lines {m}, generated lines {g}, ratio {ratio:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
