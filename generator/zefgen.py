#!/usr/bin/env python3
"""zefgen: writes the C++ of the Zef model types from their declarative model.

A model file (TOML) describes a header's worth of types: enumerations and
entities with their attributes. The generator writes `<output>.h` and
`<output>.cc` below the output directory; the C++ it writes is thin: names,
ids and one-line bodies that call the runtime's templates.

Usage: zefgen.py MODEL.toml --out DIR [--root DIR]
"""

import argparse
import pathlib
import sys
import tomllib

import adapter_gen
import entity_gen
import types_gen
import value_gen
from common import SCALARS, ModelError, enum_alignment, load_templates

# The kinds of type a model file may hold, in the order their C++ is written:
# each module renders its part of the header and of the source.
# Values come first: entities hold them. The type list comes last.
KINDS = [value_gen, entity_gen, adapter_gen, types_gen]


def generate(model_path, root):
    model = tomllib.loads(model_path.read_text())
    rel_model = model_path.resolve().relative_to(root.resolve()) if root else model_path
    output = model["output"]
    ctx = Context(model, ([root] if root else []) + list(model_path.resolve().parents))
    header_parts, source_parts, includes = [], [], []
    for kind in KINDS:
        includes += getattr(kind, "includes", lambda model: [])(model)
        header_parts.append(kind.header(model, ctx))
        source_parts.append(kind.source(model, ctx))

    doc = "".join(f"// {line}\n" if line else "//\n" for line in model.get("doc", "").strip().splitlines()).rstrip("\n")
    t = load_templates("file.tmpl")
    header = t["header_file"].substitute(
        model=rel_model, doc=doc, includes="".join(f'#include "{i}"\n' for i in includes + model.get("includes", [])),
        body="".join(header_parts),
    )
    source = t["source_file"].substitute(
        model=rel_model, header=output + ".h",
        source_includes="".join(f'#include "{i}"\n' for i in model.get("source_includes", [])),
        body="".join(source_parts),
    )
    return output, tidy(header), tidy(source)


class Context:
    """What every kind needs to know of the whole model file."""

    def __init__(self, model, roots=()):
        self.model = model
        # Where other model files are looked up, by their path from the root.
        self.roots = [pathlib.Path(r) for r in roots]
        enums = model.get("enum", [])
        # Types passed by value, with their fields' alignment: built-in
        # scalars, the file's enumerations (as wide as their underlying type)
        # and any the model names as scalars (taken as 32-bit).
        self.scalars = dict.fromkeys(SCALARS, 4)
        for e in enums:
            self.scalars |= dict.fromkeys([e["name"], f"{e['namespace']}::{e['name']}"], enum_alignment(e))
        for s in model.get("scalars", []):
            self.scalars.setdefault(s, 4)
        # The library's introspection pass, asked by every type's first use.
        self.pass_function = model.get("introspection_pass", "")
        for entity in model.get("entity", []):
            for e in entity.get("enum", []):
                names = [e["name"], f"{entity['name']}::{e['name']}",
                         f"{entity['namespace']}::{entity['name']}::{e['name']}"]
                self.scalars |= dict.fromkeys(names, enum_alignment(e))

    def find_model(self, rel):
        """Another model file, by its path from the source root."""
        for root in self.roots:
            if (root / rel).is_file():
                return root / rel
        return None


def tidy(text):
    """Collapses runs of blank lines left by empty snippets."""
    out, blank = [], 0
    for line in text.splitlines():
        blank = blank + 1 if not line.strip() else 0
        if blank <= 1:
            out.append(line.rstrip())
    return "\n".join(out).strip("\n") + "\n"


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("model", type=pathlib.Path)
    ap.add_argument("--out", type=pathlib.Path, required=True)
    ap.add_argument("--root", type=pathlib.Path, help="source root; model paths in comments are relative to it")
    args = ap.parse_args(argv)
    try:
        output, header, source = generate(args.model, args.root)
    except (ModelError, KeyError, tomllib.TOMLDecodeError) as e:
        print(f"zefgen: {args.model}: {e}", file=sys.stderr)
        return 1
    for suffix, text in ((".h", header), (".cc", source)):
        path = args.out / (output + suffix)
        path.parent.mkdir(parents=True, exist_ok=True)
        # Leave an unchanged file alone so the build does not recompile it.
        if not path.exists() or path.read_text() != text:
            path.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
