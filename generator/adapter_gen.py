"""State adapters: each entity's attribute-log adapter, its flow-out with the
dirty bits, and its reactor. The algorithms are the runtime's templates in
replication/state_adapter.h; this writes the names, ids, bits and tables."""

import pathlib
import tomllib

from common import FIRST_ID_DERIVED, ModelError, cap, echo, load_templates

T = load_templates("adapter.tmpl")

# Attribute kinds with a dirty bit and an onX() in the adapter. A
# collection's bit says its first synchronisation is done.
REPLICATED = ("value", "reference", "child", "collection", "references")
KEYED = ("collection", "references")


def includes(model):
    return ["replication/collection.h"] if model.get("entity") else []


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
        elif kind in KEYED:
            j = [r[0] for r in level.rows if r[2] in KEYED].index(attr)
            serialize = f"+[]({name}Sa* sa) {{ Zef::Repl::serializeCollection(sa, k{name}KeyedRows[{j}]); }}"
            out += f"    {{{id}, {bit}, {handler}, nullptr, nullptr, nullptr, {serialize}}},\n"
        else:  # an owned child: child records, like a one-member collection
            out += f"    {{{id}, {bit}, {handler}, nullptr, nullptr, nullptr}},\n"
    return out


def keyed_rows_text(level):
    n, out = level.name, ""
    for attr, id, kind, raw in level.rows:
        if kind not in KEYED:
            continue
        A, t = cap(attr), raw["type"]
        bit = [r[0] for r in level.rows].index(attr)
        iter_const = f"static_cast<{n}::{A}IteratorConst ({n}::*)(Zef::Name)>(&{n}::{attr}IteratorConst)"
        common = (f"{id}, {bit}, +[]({n}Sa::FlowOut& fo) -> Zef::Repl::DirtyKeyMap& {{ return fo.zefIs{A}Dirty_; }},\n"
                  f"     &Zef::Repl::keyFrom<{n}, &{n}::{attr}Iterator, {iter_const}>,\n"
                  f"     &Zef::Repl::memberOf<{n}, &{n}::{attr}>,\n")
        delete = f"&Zef::Repl::memberDelOf<{n}, &{n}::{attr}Del>"
        out += f"    {echo(raw)}\n"
        if kind == "references":
            out += (f"    {{{common}     nullptr, nullptr, {delete},\n"
                    f"     &Zef::Repl::referenceIsOf<{n}, {t}, &{n}::{attr}Is, &{n}::zef{A}>,\n"
                    f"     &Zef::Repl::recordOf<{n}, &{n}::zef{A}>, &{n}Sa::on{A}}},\n")
            continue
        params = raw.get("param", [])
        def ptype(p):
            return f"Zef::Ptr<{p['type']}>" if p.get("kind", "value") == "reference" else p["type"]
        writes = "".join(f" Zef::Repl::writeArgument(out, d, member.{p.get('member', p['name'])}());" for p in params)
        reads = "".join(f" auto {p['name']} = Zef::Repl::readValue<{ptype(p)}>(in);" for p in params)
        args = "".join(f", {p['name']}" for p in params)
        write_fn = (f"+[](Zef::Ptr<Zef::NboAttrLog::Out> const& out, Zef::NboAttrLog::Demuxer& d, Zef::Entity const& m) {{\n"
                    f"       auto const& member = static_cast<{t} const&>(m);\n"
                    f"       (void)out, (void)d, (void)member;{writes}\n     }}") if params else "nullptr"
        make_fn = (f"+[]({n}& dir, Zef::Name const& name, Zef::NboAttrLog::In& in, Zef::EntityId& eid) -> Zef::Ptr<Zef::Entity> {{\n"
                   f"      {reads}\n"
                   f"       eid = in.nextEntityId();\n"
                   f"       if (in.remaining()) Zef::throwRangeException(\"member present record: bytes beyond its entity id\");\n"
                   f"       return Zef::Repl::memberAgain(\n"
                   f"           dir, [&] {{ return Zef::Ptr<Zef::Entity>(dir.{attr}Is(name{args}).ptr()); }}, {delete}, name);\n"
                   f"     }}")
        out += (f"    {{{common}     {write_fn},\n     {make_fn},\n"
                f"     {delete}, nullptr, nullptr, &{n}Sa::on{A}}},\n")
    return out


def bit_setter(row):
    """The named setter of a row's bit: dirty, or a collection's HasSynced."""
    return f"zef{cap(row[0])}HasSyncedIs" if row[2] in KEYED else f"zefIs{cap(row[0])}DirtyIs"


def bitset_class(level, lvl, words):
    setters = "".join(f"    void {bit_setter(r)}(bool b) {{ set({i}, b); }}\n" for i, r in enumerate(level.rows))
    return (f"  // This level's bits, one per replicated attribute in attribute-id order.\n"
            f"  class ZefDirtyBitSet{lvl} : public Zef::NboAttrLog::DirtyBits<{words}> {{\n"
            f"   public:\n{setters}  }};\n")


def keyed_flowout(attr):
    """A collection's per-key dirty map on the flow-out: its record type, the
    map and its operations."""
    A = cap(attr)
    rec = f"ZefZefIs{A}Dirty"
    return (f"  // {attr}: the keys still to send.\n"
            f"  class {rec} : public Zef::Repl::DirtyKeyRecord<{rec}> {{\n"
            f"   public:\n"
            f"    {rec}(Zef::Name key, bool v) : DirtyKeyRecord(std::move(key), v) {{}}\n"
            f"  }};\n"
            f"  using ZefIs{A}DirtyIterator = Zef::Repl::DirtyKeyMapOf<{rec}>::Iterator;\n"
            f"  void zefIs{A}DirtyIs(Zef::Name key, bool v) {{ zefIs{A}Dirty_.keyIs(key, v); }}\n"
            f"  bool zefIs{A}DirtyDel(Zef::Name key) {{ return zefIs{A}Dirty_.keyDel(key); }}\n"
            f"  Zef::Ptr<{rec}> newZefIs{A}Dirty(Zef::Name key, bool v) {{ return zefIs{A}Dirty_.newKey(key, v); }}\n"
            f"  ZefIs{A}DirtyIterator zefIs{A}DirtyIterator() {{ return zefIs{A}Dirty_.iterator(); }}\n"
            f"  Zef::Repl::DirtyKeyMapOf<{rec}> zefIs{A}Dirty_;\n")


def header(model, ctx):
    out = ""
    for raw in model.get("entity", []):
        level = Level(raw)
        words = level.words
        base_level = None if level.rooted else find_base(ctx, level.base)
        handlers = [level.handler(r[0]) for r in level.rows]
        # The reactor forwards the base type's attributes too.
        forwarded = ([level.handler(r[0]) for r in base_level.rows] if base_level else []) + handlers
        keyed = [r for r in level.rows if r[2] in KEYED]
        lvl = 0 if level.rooted else 1
        out += T["header"].substitute(
            keyed_decls="".join(f"  virtual void on{cap(r[0])}(Zef::Name key);\n" for r in keyed),
            transaction_decl=("  void handleAttrTransaction(Zef::AttributeId a, AttrTransactionType type, unsigned n) override;\n"
                              "  void zefInstantiateSerialize() override;\n"
                              "  void freeResyncState(Zef::Ptr<Zef::NboAttrLog::FlowOut> const& fo) override;\n"
                              "  void doRemountSelf(Zef::Ptr<Zef::NboAttrLog::Out> const& out) override;\n"
                              "  void syncModeIs(SyncMode mode) override;\n"
                              if keyed else ""),
            keyed_flowout="".join(keyed_flowout(r[0]) for r in keyed)
                + ("  Zef::AttributeId pendingKeysFrom() const override;\n"
                   "  bool hasKeyedState() const override { return true; }\n" if keyed else ""),
            bitset_class=bitset_class(level, lvl, words),
            keyed_reactor="".join(
                f"  void on{cap(r[0])}(Zef::Name key) override {{\n    if (zefReactorAdapter_) zefReactorAdapter_->on{cap(r[0])}(key);\n  }}\n"
                for r in keyed),
            ns=level.ns, name=level.name, words=words, level=0 if level.rooted else 1,
            priority=level.priority,
            sa_base="Zef::Entity::ZefNboAttrLogSa" if level.rooted else f"{level.base}::ZefNboAttrLogSa",
            fo_base="Zef::NboAttrLog::FlowOut" if level.rooted else f"{level.base}::ZefNboAttrLogSa::FlowOut",
            on_decls="".join(f"  virtual void {h}();\n" for h in handlers),
            dirty_setters="".join(
                f"  void {bit_setter(r)}(bool b) {{ zefDirtyBitSet{lvl}_.{bit_setter(r)}(b); }}\n"
                for r in level.rows),
            reactor_handlers="".join(
                f"  void {h}() override {{\n    if (zefReactorAdapter_) zefReactorAdapter_->{h}();\n  }}\n"
                for h in forwarded),
        )
    return out


def has_dirty(level, keyed):
    """hasDirtyAttributes: a HasSynced bit says a collection is done, so it
    counts when clear, not when set."""
    lvl = 0 if level.rooted else 1
    base = "Zef::NboAttrLog::FlowOut" if level.rooted else f"{level.base}::ZefNboAttrLogSa::FlowOut"
    if not keyed:
        return f"  return {base}::hasDirtyAttributes() || zefDirtyBitSet{lvl}_.any();\n"
    bits = [r[0] for r in level.rows]
    out = (f"  if ({base}::hasDirtyAttributes()) return true;\n"
           f"  ZefDirtyBitSet{lvl} pending = zefDirtyBitSet{lvl}_;\n")
    for r in keyed:
        out += f"  if (!zefIs{cap(r[0])}Dirty_.empty() || !pending.test({bits.index(r[0])})) return true;\n"
    out += "".join(f"  pending.{bit_setter(r)}(false);\n" for r in keyed)
    return out + "  return pending.any();\n"


def source(model, ctx):
    out = ""
    for raw in model.get("entity", []):
        level = Level(raw)
        words = level.words
        n = level.name
        keyed = [r for r in level.rows if r[2] in KEYED]
        on_defs = ""
        for i, r in enumerate(level.rows):
            h = level.handler(r[0])
            if r[2] in KEYED:
                j = keyed.index(r)
                on_defs += (f"void {n}Sa::{h}() {{ Zef::Repl::serializeCollection(this, k{n}KeyedRows[{j}]); }}\n\n"
                            f"void {n}Sa::{h}(Zef::Name key) {{ Zef::Repl::keyNotified(this, k{n}KeyedRows[{j}], key); }}\n\n")
            elif r[2] == "child":
                on_defs += (f"void {n}Sa::{h}() {{\n  auto* e = zefEntity();\n"
                            f"  Zef::Repl::childChanged(this, k{n}ReplRows[{i}], e ? Zef::Ptr<Zef::Entity>(e->{r[0]}().ptr()) : nullptr);\n}}\n\n")
            else:
                on_defs += f"void {n}Sa::{h}() {{ Zef::Repl::attrChanged(this, k{n}ReplRows[{i}]); }}\n\n"
        children = [r for r in level.rows if r[2] == "child"]
        keyed_in = ""
        if keyed or children:
            # Collection and child records, read directly or through an
            # extension section that names one of these ids.
            own = ", ".join(str(r[1]) for r in keyed + children)
            keyed_in += (f"  static constexpr Zef::AttributeId kOwnKeyedIds[] = {{{own}}};\n"
                         f"  Zef::AttributeId own = a < 0 ? -a : a;\n"
                         f"  if (Zef::Repl::isExtensionRecord(a) || std::find(std::begin(kOwnKeyedIds), std::end(kOwnKeyedIds), own) != std::end(kOwnKeyedIds)) {{\n"
                         f"    Zef::Repl::keyedDeserialization(this, a, in.ptr(), [&](Zef::NboAttrLog::In& s, bool explicitStream) {{\n"
                         f"      Zef::Repl::ExtendedRecord r{{a, 0}};\n"
                         f"      if (Zef::Repl::isExtensionRecord(a)) r = Zef::Repl::extensionSection(s, kOwnKeyedIds);\n")
            for r in keyed:
                keyed_in += (f"      if (r.a == {r[1]} || r.a == -{r[1]}) {{\n"
                             f"        auto const& k = *Zef::Repl::keyedRowOf<{n}Sa>(k{n}KeyedRows, r.a);\n"
                             f"        if (explicitStream) (this->*k.keyHandler)(Zef::Repl::recordName(s, r.afterName));\n"
                             f"        else Zef::Repl::applyKeyRecord(this, k, r.a > 0, s, r.afterName);\n"
                             f"      }}\n")
            for r in children:
                keyed_in += (f"      if (r.a == {r[1]} || r.a == -{r[1]}) {{\n"
                             f"        if (explicitStream) {level.handler(r[0])}();\n"
                             f"        else Zef::Repl::applyChildRecord(this, r.a > 0, s,\n"
                             f"            +[]({n}& e, Zef::Name const& name) {{ return Zef::Ptr<Zef::Entity>(e.{r[0]}Is(name).ptr()); }},\n"
                             f"            +[]({n}& e) {{ e.{r[0]}Del(); }}, r.afterName);\n"
                             f"      }}\n")
            keyed_in += "    });\n    return;\n  }\n"
        keyed_defs = ""
        if keyed:
            keyed_defs = (f"void {n}Sa::handleAttrTransaction(Zef::AttributeId a, AttrTransactionType type, unsigned n) {{\n"
                          f"  if (auto const* k = Zef::Repl::keyedRowOf<{n}Sa>(k{n}KeyedRows, a)) Zef::Repl::collectionTransaction(this, *k, type);\n"
                          f"  {level.base if not level.rooted else 'Zef::Entity'}::ZefNboAttrLogSa::handleAttrTransaction(a, type, n);\n}}\n\n"
                          f"void {n}Sa::zefInstantiateSerialize() {{ Zef::Repl::instantiateCollections<{n}Sa>(this, k{n}KeyedRows); }}\n\n"
                          f"void {n}Sa::freeResyncState(Zef::Ptr<Zef::NboAttrLog::FlowOut> const& fo) {{\n"
                          f"  Zef::Repl::freeCollectionsResyncState<{n}Sa>(k{n}KeyedRows, fo.ptr());\n}}\n\n"
                          f"void {n}Sa::doRemountSelf(Zef::Ptr<Zef::NboAttrLog::Out> const& out) {{\n"
                          f"  Zef::Entity::ZefNboAttrLogSa::doRemountSelf(out);\n"
                          f"  Zef::Repl::remountCollections<{n}Sa>(this, k{n}KeyedRows, out);\n}}\n\n"
                          f"void {n}Sa::syncModeIs(SyncMode mode) {{ Zef::Repl::collectionsSyncModeIs<{n}Sa>(this, k{n}KeyedRows, mode); }}\n\n"
                          f"Zef::AttributeId {n}Sa::FlowOut::pendingKeysFrom() const {{\n"
                          f"  for (auto const& k : k{n}KeyedRows) {{\n"
                          f"    if (Zef::Repl::collectionPending<{n}Sa>(nullptr, k, const_cast<FlowOut&>(*this), zefDirtyBitSet{0 if level.rooted else 1}_)) return k.id;\n"
                          f"  }}\n  return {'Zef::NboAttrLog::FlowOut' if level.rooted else level.base + '::ZefNboAttrLogSa::FlowOut'}::pendingKeysFrom();\n}}\n\n")
        if level.rooted:
            base_init = "Zef::Entity::ZefNboAttrLogSa(flags, n, out, owner)"
        else:
            base_init = f"{level.base}::ZefNboAttrLogSa(flags, entity, n, out, owner, false)"
        params = raw.get("param", [])
        types = [f"{level.ns}::{n}"] + ([] if level.rooted else [level.base])
        def param_type(p):
            return f"Zef::Ptr<{p['type']}>" if p.get("kind", "value") == "reference" else p["type"]
        out += T["source"].substitute(
            keyed_rows=(f"constexpr Zef::Repl::KeyedRow<{n}Sa> k{n}KeyedRows[] = {{\n{keyed_rows_text(level)}}};\n" if keyed else ""),
            keyed_in=keyed_in, keyed_defs=keyed_defs,
            has_dirty=has_dirty(level, keyed),
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
