"""The library's type list: registration order, the load-time initializer with
its attribute handles, the introspection pass and the `.zef.type` section."""

from common import ModelError, load_templates

T = load_templates("types.tmpl")


def section_bytes(names):
    """The section's contents: each name NUL-terminated, padded with NULs to a
    multiple of four from the section start; the last one is not padded."""
    out = bytearray()
    for i, name in enumerate(names):
        out += name.encode("ascii") + b"\0"
        if i + 1 < len(names):
            out += b"\0" * (-len(out) % 4)
    return bytes(out)


def c_string(data):
    """A C++ string literal of `data` without its final NUL, which the literal
    itself supplies: one name a line, each with the NULs that follow it."""
    body, lines, i = data[:-1], [], 0
    while i < len(body):
        j = body.index(0, i) if 0 in body[i:] else len(body)
        k = j
        while k < len(body) and body[k] == 0:
            k += 1
        lines.append('    "' + body[i:j].decode("ascii") + "\\0" * (k - j) + '"')
        i = k
    return "\n".join(lines)


def header(model, ctx):
    if "type" not in model:
        return ""
    return T["header"].substitute({"ns": model["namespace"], "pass": model["pass"]})


def source(model, ctx):
    types = model.get("type", [])
    if not types:
        return ""
    names = [t["name"] for t in types]
    if len(set(names)) != len(names):
        raise ModelError("a type is listed twice")
    data = section_bytes(names)
    ns = model["namespace"]
    registrations = "".join(
        T["registration"].substitute(cxx=t["name"], full=t["name"],
                                     handles=", ".join(f'"{h}"' for h in t.get("handles", [])))
        for t in types
    )
    scopes = model.get("empty_namespaces", [])
    return T["source"].substitute(
        ns=ns, section_size=len(data), section_text=c_string(data),
        handle_count=max(1, sum(len(t.get("handles", [])) for t in types)),
        registrations=registrations,
        type_list="".join(f"      {n}::_fwkType(),\n" for n in names),
        extra_types="".join(f"  {x}::_fwkType();\n" for x in model.get("also_build", [])),
        empty_scopes=", ".join(f'"{s}"' for s in scopes),
        outer=model["announce"][0], inner=model["announce"][1],
        **{"pass": model["pass"]},
    )
