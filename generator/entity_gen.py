"""Entities: reference-counted, named types with attributes and reactors."""

from zefgen import FIRST_ID_DERIVED, FIRST_ID_ENTITY, ModelError, cap, echo, load_templates

T = load_templates("entity.tmpl")


class Attr:
    def __init__(self, raw, scalars):
        self.raw = raw
        try:
            self.name = raw["name"]
            self.id = raw["id"]
            self.kind = raw.get("kind", "value")
            self.type = raw["type"]
        except KeyError as e:
            raise ModelError(f"attribute {raw.get('name', '?')}: missing {e}") from None
        if self.kind not in ("value", "reference"):
            raise ModelError(f"attribute {self.name}: unknown kind {self.kind}")
        self.handler = raw.get("handler", "on" + cap(self.name))
        self.virtual = raw.get("virtual", False)
        self.inc = raw.get("inc", False)
        self.delete = raw.get("del", False)
        if self.kind == "reference":
            self.field_type = f"Zef::Ptr<{self.type}>"
            self.param = f"Zef::Ptr<{self.type}> const&"
            self.default = raw.get("default", "")
        else:
            self.field_type = self.type
            scalar = self.type in scalars or raw.get("scalar", False)
            self.param = self.type if scalar else f"{self.type} const&"
            self.default = raw.get("default", "")

    def reader(self):
        return f"  {self.field_type} {self.name}() const {{ return {self.name}_; }}\n"

    def declarations(self):
        virt = "virtual " if self.virtual else ""
        out = [echo(self.raw) + "\n", self.reader(), f"  {virt}void {self.name}Is({self.param} v);\n"]
        if self.inc:
            out.append(f"  {virt}void {self.name}Inc();\n")
        if self.delete:
            out.append(f"  {virt}void {self.name}Del();\n")
        return "".join("  " + line if line.startswith("//") else line for line in out)

    def field(self):
        init = f"{{{self.default}}}" if self.default != "" else "{}"
        return f"  {self.field_type} {self.name}_{init};\n"


class Param:
    """A constructor parameter besides the name: fixed for the entity's life."""

    def __init__(self, raw, scalars):
        self.name = raw["name"]
        self.type = raw["type"]
        self.kind = raw.get("kind", "value")
        if self.kind == "reference":
            self.field_type = f"Zef::Ptr<{self.type}>"
            self.decl = f"Zef::Ptr<{self.type}> const& {self.name}"
        else:
            self.field_type = self.type
            # Values are taken by value, as the framework's constructors do.
            self.decl = f"{self.type} {self.name}"
        self.own = raw.get("own", True)


class Entity:
    def __init__(self, raw, scalars):
        self.raw = raw
        self.name = raw["name"]
        self.ns = raw["namespace"]
        self.base = raw.get("base", "Zef::Entity")
        self.rooted = self.base == "Zef::Entity"
        self.params = [Param(p, scalars) for p in raw.get("param", [])]
        self.attrs = [Attr(a, scalars) for a in raw.get("attr", [])]
        self.init = raw.get("init", [])
        self.hm_link = raw.get("hash_map_link", "")
        if self.hm_link not in ("", "first", "last"):
            raise ModelError(f"{self.name}: hash_map_link must be first or last")
        first = raw.get("first_id", FIRST_ID_ENTITY if self.rooted else FIRST_ID_DERIVED)
        for i, a in enumerate(self.attrs):
            if a.id != first + i:
                raise ModelError(f"{self.name}.{a.name}: id {a.id}, expected {first + i} (ids run on in declaration order)")
        self.first_id = first

    def ctor_params(self):
        return ", ".join(["Zef::Name name"] + [p.decl for p in self.params])

    def ctor_args(self):
        return ", ".join(["std::move(name)"] + [p.name for p in self.params])



def header(model, ctx):
    enums = "".join(
        T["enum"].substitute(
            ns=e["namespace"], name=e["name"], underlying=e.get("underlying", "std::uint32_t"),
            enumerators="\n".join(f"  {v} = {i}," for i, v in enumerate(e["values"])),
        )
        for e in model.get("enum", [])
    )
    return enums + "".join(entity_header(T, Entity(e, ctx.scalars)) for e in model.get("entity", []))


def source(model, ctx):
    return "".join(entity_source(T, Entity(e, ctx.scalars)) for e in model.get("entity", []))


def entity_header(t, e):
    ids = "".join(f"  static constexpr Zef::AttributeId {a.name}AttrId = {a.id};\n" for a in e.attrs)
    accessors = "".join("\n" + a.declarations() for a in e.attrs)
    params_accessors = "".join(
        f"  {p.field_type} {p.name}() const {{ return {p.name}_; }}\n" for p in e.params if p.own and e.rooted
    )
    fields = ""
    if e.hm_link == "first":
        fields += f" public:\n  Zef::Ptr<{e.name}> fwkHmNext;\n\n private:\n"
    else:
        fields += " private:\n"
    fields += "".join(f"  {p.field_type} {p.name}_;\n" for p in e.params if p.own and e.rooted)
    fields += "".join(a.field() for a in e.attrs)
    if e.hm_link == "last":
        fields += f"\n public:\n  Zef::Ptr<{e.name}> fwkHmNext;\n\n private:\n"
    if e.rooted:
        fields += "  mutable Zef::ListRaw<NotifieeConst> notifiees_;\n"
    handlers = ""
    if e.rooted:
        handlers += "  virtual void onIsNondestructing() {}\n"
    handlers += "".join(f"  virtual void {a.handler}() {{}}\n" for a in e.attrs)
    mutators = []
    for a in e.attrs:
        sub = dict(name=e.name, attr=a.name, param=a.param, id=a.id, handler=a.handler, echo=echo(a.raw), type=a.field_type)
        mutators.append("\n" + t["mutator"].substitute(sub))
        if a.inc:
            mutators.append(t["mutator_inc"].substitute(sub))
        if a.delete:
            mutators.append(t["mutator_del"].substitute(sub))
    return t["class"].substitute(
        ns=e.ns, name=e.name, base=e.base, ids=ids.rstrip("\n"), params=e.ctor_params(),
        params_accessors=params_accessors, accessors=accessors,
        own_slots=t["own_slots"].template if e.rooted else "",
        list_ops=t["list_ops"].template if e.rooted else "",
        explicit="explicit " if not e.params else "",
        fields=fields,
        notifiee_base="Zef::Entity::NotifieeConst" if e.rooted else f"{e.base}::NotifieeConst",
        reactor_ops=t["reactor_ops"].template if e.rooted else "",
        handlers=handlers,
        list_next=t["list_next"].template if e.rooted else "",
        base_type="Zef::Entity::_fwkType()" if e.rooted else f"{e.base}::_fwkType()",
        inline_list_ops=t["inline_list_ops"].substitute(name=e.name) if e.rooted else "",
        mutators="".join(mutators),
    )


def entity_source(t, e):
    if e.rooted:
        base_init = "Zef::Entity(std::move(name))"
        base_init += "".join(f", {p.name}_({p.name})" for p in e.params if p.own)
    else:
        base_init = f"{e.base}({e.ctor_args()})"
    init = "".join(f"  {line};\n" for line in e.init)
    names = "".join(f'    "{a.name}",\n' for a in e.attrs)
    has_names = bool(e.attrs)
    return t["definitions"].substitute(
        ns=e.ns, name=e.name, params=e.ctor_params(), args=e.ctor_args(), base_init=base_init, init=init,
        attribute_names=t["attribute_names"].substitute(name=e.name, first_id=e.first_id, names=names) if has_names else "",
        name_lookup=t["name_lookup"].substitute(name=e.name, first_id=e.first_id, base=e.base) if has_names
        else f"Zef::String8 {e.name}::attributeString(Zef::AttributeId id) const {{ return {e.base}::attributeString(id); }}\n\n",
        own_slot_definitions=t["own_slot_definitions"].substitute(name=e.name) if e.rooted else "",
        retire=f"Zef::reactorRetire<{e.name}>(this);" if e.rooted else "",
        reactor_op_definitions=t["reactor_op_definitions"].substitute(name=e.name) if e.rooted else "",
    )


