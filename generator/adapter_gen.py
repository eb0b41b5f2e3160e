"""State adapters: each entity's attribute-log adapter, its flow-out with the
dirty bits, and its reactor. The algorithms are the runtime's templates in
replication/state_adapter.h; this writes the names, ids, bits and tables."""

import pathlib
import tomllib

from common import FIRST_ID_DERIVED, ModelError, cap, echo, load_templates

T = load_templates("adapter.tmpl")

# Attribute kinds with a dirty bit and an onX() in the adapter.
REPLICATED = ("value", "reference", "child")


def includes(model):
    return ["replication/state_adapter.h"] if model.get("entity") else []


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
    name, out = level.name, ""
    for attr, id, kind, raw in level.rows:
        handler = f"&{name}::ZefNboAttrLogSa::{level.handler(attr)}"
        read = f"&Zef::Repl::readAttr<{name}, &{name}::{attr}Is>"
        if kind == "base":
            getter = "&Zef::PtrInterface::isNondestructing"
            out += f"    {{{id}, 0, {handler}, &Zef::Repl::writeAttr<{name}, {getter}>, nullptr, {read}}},\n"
            continue
        bit = [r[0] for r in level.rows].index(attr)
        out += f"    {echo(raw)}\n"
        if kind == "value":
            write = f"&Zef::Repl::writeAttr<{name}, &{name}::{attr}>"
            out += f"    {{{id}, {bit}, {handler}, {write}, nullptr, {read}}},\n"
        elif kind == "reference":
            ref = f"&Zef::Repl::referenceAttr<{name}, &{name}::{attr}>"
            out += f"    {{{id}, {bit}, {handler}, nullptr, {ref}, {read}}},\n"
        else:  # an owned child: its records travel with the collections
            out += f"    {{{id}, {bit}, {handler}, nullptr, nullptr, nullptr}},\n"
    return out


def header(model, ctx):
    out = ""
    for raw in model.get("entity", []):
        level = Level(raw)
        words = max(1, (len(level.rows) + 31) // 32)
        base_level = None if level.rooted else find_base(ctx, level.base)
        handlers = [level.handler(r[0]) for r in level.rows]
        # The reactor forwards the base type's attributes too.
        forwarded = ([level.handler(r[0]) for r in base_level.rows] if base_level else []) + handlers
        out += T["header"].substitute(
            ns=level.ns, name=level.name, words=words, level=0 if level.rooted else 1,
            priority=level.priority,
            sa_base="Zef::Entity::ZefNboAttrLogSa" if level.rooted else f"{level.base}::ZefNboAttrLogSa",
            fo_base="Zef::NboAttrLog::FlowOut" if level.rooted else f"{level.base}::ZefNboAttrLogSa::FlowOut",
            on_decls="".join(f"  virtual void {h}();\n" for h in handlers),
            dirty_setters="".join(
                f"  void zefIs{cap(r[0])}DirtyIs(bool b) {{ zefDirtyBitSet{0 if level.rooted else 1}_.set({i}, b); }}\n"
                for i, r in enumerate(level.rows)),
            reactor_handlers="".join(
                f"  void {h}() override {{\n    if (zefReactorAdapter_) zefReactorAdapter_->{h}();\n  }}\n"
                for h in forwarded),
        )
    return out


def source(model, ctx):
    out = ""
    for raw in model.get("entity", []):
        level = Level(raw)
        words = max(1, (len(level.rows) + 31) // 32)
        n = level.name
        on_defs = "".join(
            f"void {n}Sa::{level.handler(r[0])}() {{ Zef::Repl::attrChanged(this, k{n}ReplRows[{i}]); }}\n\n"
            for i, r in enumerate(level.rows))
        if level.rooted:
            base_init = "Zef::Entity::ZefNboAttrLogSa(flags, n, out, owner)"
        else:
            base_init = f"{level.base}::ZefNboAttrLogSa(flags, entity, n, out, owner, false)"
        params = raw.get("param", [])
        types = [f"{level.ns}::{n}"] + ([] if level.rooted else [level.base])
        def param_type(p):
            return f"Zef::Ptr<{p['type']}>" if p.get("kind", "value") == "reference" else p["type"]
        out += T["source"].substitute(
            ns=level.ns, name=n, words=words, level=0 if level.rooted else 1, rows=rows_text(level),
            type_names=", ".join(f'"{t}"' for t in types),
            arg_writes="".join(f"    Zef::Repl::writeArgument(out, d, e.{p['name']}());\n" for p in params),
            arg_reads="".join(f"  auto {p['name']} = Zef::Repl::readValue<{param_type(p)}>(in);\n" for p in params),
            arg_names="".join(f", {p['name']}" for p in params),
            on_defs=on_defs,
            sa_base="Zef::Entity::ZefNboAttrLogSa" if level.rooted else f"{level.base}::ZefNboAttrLogSa",
            sa_base_init=base_init,
            fo_base="Zef::NboAttrLog::FlowOut" if level.rooted else f"{level.base}::ZefNboAttrLogSa::FlowOut",
            first_own=6 if level.rooted else FIRST_ID_DERIVED,
        )
    return out
