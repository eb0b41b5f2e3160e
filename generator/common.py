"""The pieces every part of the generator shares: model errors, template
snippets, naming and the echo of a model line. Imports run one way: the
generators and zefgen.py import this module, never each other's driver."""

import pathlib
import string

HERE = pathlib.Path(__file__).resolve().parent

# Types passed by value; anything else (model values, strings) by const&.
SCALARS = {
    "bool", "unsigned char", "unsigned int", "int", "double", "Zef::Seconds",
    "U1", "U4", "U6", "U22", "U32", "std::uint8_t", "std::uint32_t",
}

# Alignments of the built-in field types; other scalars are enumerations.
ALIGNMENTS = {
    "bool": 1, "unsigned char": 1, "U1": 1, "U4": 1, "U6": 1, "U8": 1,
    "std::uint8_t": 1, "std::int8_t": 1, "std::uint16_t": 2, "std::int16_t": 2,
    "unsigned int": 4, "int": 4, "U32": 4, "U22": 4, "std::uint32_t": 4,
    "Zef::Seconds": 8, "double": 8,
}


def enum_alignment(e):
    """An enumeration's field is as wide as its underlying type."""
    return ALIGNMENTS.get(e.get("underlying", "std::uint32_t"), 4)

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
