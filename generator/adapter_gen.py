"""State adapters: each entity's attribute-log adapter, its flow-out with the
dirty bits, and its reactor. The adapter, flow-out and reactor are the
runtime's templates in replication/adapter_skeleton.h; this writes only each
level's rows (ids, bits, readers, writers), the named setters of its bits and
the handlers its reactor overrides."""

import pathlib
import tomllib

from common import ModelError, cap, echo, load_templates

T = load_templates("adapter.tmpl")

# Attribute kinds with a row, a dirty bit and an onX() the reactor passes on.
# A collection's bit says its first synchronisation is done.
REPLICATED = ("value", "reference", "child", "collection", "references")
KEYED = ("collection", "references")


def includes(model):
    return ["replication/adapter_skeleton.h"] if model.get("entity") else []


def entity_decls():
    """The entity-side declarations the entity class template takes in."""
    return T["entity_decls"].template


class Level:
    """One entity type's level of the adapter: its own replicated attributes."""

    def __init__(self, raw):
        self.raw = raw
        self.name = raw["name"]
        self.ns = raw["namespace"]
        self.base = raw.get("base", "Zef::Entity")
        self.rooted = self.base == "Zef::Entity"
        self.attrs = [a for a in raw.get("attr", []) if a.get("kind", "value") in REPLICATED]
        # (name, id, kind, model line) in attribute-id order, from bit 0.
        self.rows = []
        if self.rooted:
            self.rows.append(("isNondestructing", 6, "base", None))
        self.rows += [(a["name"], a["id"], a.get("kind", "value"), a) for a in self.attrs]
        # The dirty bit set's words: one, or two for more than 32 attributes.
        self.words = max(1, (len(self.rows) + 31) // 32)
        priority = raw.get("replication_priority", "high")
        if priority not in ("high", "low"):
            raise ModelError(f"{self.name}: replication_priority must be high or low")
        self.priority = priority

    def handler(self, attr):
        return "on" + cap(attr)


def find_base(ctx, base):
    """The model entity a derived type builds on, from the model files its
    model includes (a header `x/y.h` comes from the model `x/y.toml`)."""
    for inc in ctx.model.get("includes", []):
        path = ctx.find_model(inc[:-2] + ".toml")
        if not path:
            continue
        for e in tomllib.loads(path.read_text()).get("entity", []):
            if f"{e['namespace']}::{e['name']}" == base:
                return Level(e)
    raise ModelError(f"base type {base} not found in the included models")


def rows_text(level):
    n, out = level.name, ""
    keyed = [r for r in level.rows if r[2] in KEYED]
    children = [r for r in level.rows if r[2] == "child"]
    for i, (attr, id, kind, raw) in enumerate(level.rows):
        args = dict(name=n, attr=attr, id=id, i=i, echo=echo(raw) if raw else "")
        if kind == "base":
            out += T["row_base"].substitute(args)
        elif kind in KEYED:
            out += T["row_keyed"].substitute(args, k=keyed.index((attr, id, kind, raw)))
        elif kind == "child":
            out += T["row_child"].substitute(args, c=children.index((attr, id, kind, raw)))
        else:
            out += T["row_" + kind].substitute(args)
    return out


def keyed_rows_text(level):
    n, out = level.name, ""
    keyed = [r for r in level.rows if r[2] in KEYED]
    for k, (attr, id, kind, raw) in enumerate(keyed):
        i = [r[0] for r in level.rows].index(attr)
        args = dict(name=n, attr=attr, Attr=cap(attr), id=id, i=i, k=k, type=raw["type"], echo=echo(raw))
        args["delete"] = T["member_delete"].substitute(args).strip()
        args["common"] = T["keyed_common"].substitute(args)
        params = raw.get("param", [])
        getters = "".join(f", &{raw['type']}::{p.get('member', p['name'])}" for p in params)
        args["write_args"] = T["member_args"].substitute(args, getters=getters).strip() if params else "nullptr"
        out += T["keyed_row_" + kind].substitute(args)
    return out


def bit_setter(row):
    """The named setter of a row's bit: dirty, or a collection's HasSynced."""
    return f"zef{cap(row[0])}HasSyncedIs" if row[2] in KEYED else f"zefIs{cap(row[0])}DirtyIs"


def header(model, ctx):
    out = ""
    for raw in model.get("entity", []):
        level = Level(raw)
        if not level.rooted:
            find_base(ctx, level.base)  # a model entity, or the model is refused
        keyed = [r for r in level.rows if r[2] in KEYED]
        children = [r for r in level.rows if r[2] == "child"]
        lvl = 0 if level.rooted else 1
        tables = (T["keyed_table"].template if keyed else "") + (T["child_table"].template if children else "")
        tables += T["ids_table"].template if keyed or children else ""
        hears = "".join(T["hear"].substitute(handler=level.handler(r[0]), i=i) for i, r in enumerate(level.rows))
        hears += "".join(T["hear_key"].substitute(handler=level.handler(r[0]), k=k) for k, r in enumerate(keyed))
        out += T["header"].substitute(
            ns=level.ns, name=level.name, words=level.words, level=lvl, priority=level.priority,
            row_count=len(level.rows),
            sa_base="Zef::Entity::ZefNboAttrLogSa" if level.rooted else f"{level.base}::ZefNboAttrLogSa",
            fo_base="Zef::NboAttrLog::FlowOut" if level.rooted else f"{level.base}::ZefNboAttrLogSa::FlowOut",
            tables=tables,
            bit_setters="".join(T["bit_setter"].substitute(setter=bit_setter(r), bit=i) for i, r in enumerate(level.rows)),
            hears=hears,
            keyed_flowout="".join(T["keyed_flowout"].substitute(attr=r[0], Attr=cap(r[0])) for r in keyed),
        )
    return out


def source(model, ctx):
    out = ""
    for raw in model.get("entity", []):
        level = Level(raw)
        n = level.name
        keyed = [r for r in level.rows if r[2] in KEYED]
        children = [r for r in level.rows if r[2] == "child"]
        tables, defs = "", ""
        if keyed:
            tables += T["keyed_rows"].substitute(name=n, rows=keyed_rows_text(level))
            defs += T["keyed_defs"].substitute(name=n)
        if children:
            rows = "".join(T["child_row"].substitute(name=n, attr=r[0], id=r[1]) for r in children)
            tables += T["child_rows"].substitute(name=n, rows=rows)
            defs += T["child_defs"].substitute(name=n)
        if keyed or children:
            # Collection and child records name one of these, directly or
            # through an extension section.
            tables += T["keyed_ids"].substitute(name=n, ids=", ".join(str(r[1]) for r in keyed + children))
            defs += T["ids_defs"].substitute(name=n)
        types = [f"{level.ns}::{n}"] + ([] if level.rooted else [level.base])
        out += T["source"].substitute(
            ns=level.ns, name=n, rows=rows_text(level), keyed_rows=tables, table_defs=defs,
            type_names=", ".join(f'"{t}"' for t in types),
            getters="".join(f", &{n}::{p['name']}" for p in raw.get("param", [])),
        )
    return out
