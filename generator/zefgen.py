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
import string
import sys
import tomllib

HERE = pathlib.Path(__file__).resolve().parent

# Types passed by value; anything else (model values, strings) by const&.
SCALARS = {
    "bool", "unsigned char", "unsigned int", "int", "double", "Zef::Seconds",
    "U1", "U4", "U6", "U22", "U32", "std::uint8_t", "std::uint32_t",
}

# Where a type rooted at Zef::Entity numbers its own attributes from, and
# where a type derived from a model entity does.
FIRST_ID_ENTITY = 258
FIRST_ID_DERIVED = 386


class ModelError(Exception):
    pass


def load_templates(name):
    """Splits a template file into named snippets at lines `%% name`."""
    snippets, current, lines = {}, None, []
    for line in (HERE / "templates" / name).read_text().splitlines(keepends=True):
        if line.startswith("%% "):
            if current:
                snippets[current] = string.Template("".join(lines))
            current, lines = line[3:].strip(), []
        else:
            lines.append(line)
    if current:
        snippets[current] = string.Template("".join(lines))
    return snippets


def cap(name):
    return name[0].upper() + name[1:]


def echo(attr):
    """The model line of an attribute, echoed above its generated block."""
    keys = ", ".join(f"{k} = {fmt(v)}" for k, v in attr.items() if k != "name")
    return f"// {attr['name']} = {{ {keys} }}"


def fmt(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        return f'"{v}"'
    if isinstance(v, list):
        return "[" + ", ".join(fmt(x) for x in v) + "]"
    if isinstance(v, dict):
        return v.get("name", "{...}")  # a nested table, named by its name
    return str(v)


# The kinds of type a model file may hold, in the order their C++ is written:
# each module renders its part of the header and of the source.
# Values come first: entities hold them. The type list comes last.
def kinds():
    import entity_gen
    import types_gen
    import value_gen
    return [value_gen, entity_gen, types_gen]


def generate(model_path, root):
    model = tomllib.loads(model_path.read_text())
    rel_model = model_path.resolve().relative_to(root.resolve()) if root else model_path
    output = model["output"]
    ctx = Context(model)
    header_parts, source_parts, includes = [], [], []
    for kind in kinds():
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

    def __init__(self, model):
        enums = model.get("enum", [])
        # Types passed by value: built-in scalars, the file's enumerations and
        # any the model names as scalars.
        self.scalars = set(SCALARS) | {e["name"] for e in enums}
        self.scalars |= {f"{e['namespace']}::{e['name']}" for e in enums}
        self.scalars |= set(model.get("scalars", []))
        # The library's introspection pass, asked by every type's first use.
        self.pass_function = model.get("introspection_pass", "")
        for entity in model.get("entity", []):
            for e in entity.get("enum", []):
                self.scalars |= {e["name"], f"{entity['name']}::{e['name']}",
                                 f"{entity['namespace']}::{entity['name']}::{e['name']}"}


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
