"""Entities: reference-counted, named types with attributes and reactors."""

import adapter_gen
from common import ALIGNMENTS, FIRST_ID_DERIVED, FIRST_ID_ENTITY, ModelError, cap, echo, load_templates

T = load_templates("entity.tmpl")

# Flag words and introspection flags of each kind of attribute definition.
FLAGS = {
    "key": ("0x00200001", "0x00000400", "0"),
    "base": ("0x00002043", "0x00000000", "0"),
    "base_function": ("0x00022001", "0x00000400", "0x08"),
    "function": ("0x00020001", "0x00000400", "0x08"),
    "reference": ("0x08220143", "0x00000400", "0x02"),
    "value": ("0x00220143", "0x00000400", "0"),
    "child": ("0x00220143", "0x00000400", "0"),
    "collection": ("0x08A20143", "0x10000400", "0x22"),
    "references": ("0x08A20143", "0x10000400", "0x22"),
    "field": ("0x00220107", "0x00000400", "0"),
    "update": ("0x00020002", "0x00000000", "0"),
}

# Registered names of the built-in attribute types.
BUILTIN_TYPE_NAMES = {
    "bool": "bool", "unsigned char": "U8", "unsigned int": "U32", "U32": "U32", "double": "Zef::Seconds",
    "Zef::Seconds": "Zef::Seconds", "Zef::String8": "Zef::String", "Zef::Name": "Zef::Name",
    "U1": "U1", "U4": "U4", "U6": "U6", "U22": "U22",
}


def attr_def(name, id, type_name, kind, extra=None):
    first, second, introspection = FLAGS[kind]
    type_name = BUILTIN_TYPE_NAMES.get(type_name, type_name)
    extra = f'"{extra}"' if extra else "nullptr"
    return f'    {{"{name}", {id}, "{type_name}", {{{first}, {second}}}, {introspection}, {extra}}},\n'

C = load_templates("collection.tmpl")


KINDS = ("value", "reference", "child", "function", "collection", "references")
OPS = ("Is", "Inc", "Del")


def field_alignment(kind, type_, scalars):
    """How a field is aligned, as far as the model tells: a type it does not
    know is taken as 8, so that it goes first."""
    if kind != "value":
        return 8
    if type_ in ALIGNMENTS:
        return ALIGNMENTS[type_]
    return scalars.get(type_, 8)


class Attr:
    """One attribute of an entity, as its model line describes it."""

    def __init__(self, raw, scalars):
        self.raw = raw
        try:
            self.name = raw["name"]
            self.id = raw["id"]
            self.kind = raw.get("kind", "value")
            self.type = raw.get("type", "")
        except KeyError as e:
            raise ModelError(f"attribute {raw.get('name', '?')}: missing {e}") from None
        if self.kind not in KINDS:
            raise ModelError(f"attribute {self.name}: unknown kind {self.kind}")
        if self.kind != "function" and not self.type:
            raise ModelError(f"attribute {self.name}: missing 'type'")
        self.handler = raw.get("handler", "on" + cap(self.name))
        self.virtual = raw.get("virtual", False)
        # The mutators of the attribute, in the order of their virtual slots.
        self.ops = raw.get("ops", ["Is"])
        if any(op not in OPS for op in self.ops) or "Is" not in self.ops:
            raise ModelError(f"attribute {self.name}: ops must include Is and be among {', '.join(OPS)}")
        self.default = raw.get("default", "")
        if self.kind in ("collection", "references"):
            self.collection = Collection(self, raw, scalars)
        scalar = False
        if self.kind in ("reference", "child"):
            self.field_type = f"Zef::Ptr<{self.type}>"
            self.param = f"Zef::Ptr<{self.type}> const&"
        else:
            self.field_type = self.type
            scalar = self.type in scalars or raw.get("scalar", False)
            self.param = self.type if scalar else f"{self.type} const&"
        # A value may be kept packed; its field is read through Zef::loaded.
        self.stored = self.kind == "value" and not scalar
        self.alignment = field_alignment(self.kind, self.type, scalars)

    @property
    def notifies(self):
        return self.kind != "function"

    def declarations(self, entity):
        if self.kind in ("collection", "references"):
            return self.collection.declarations(entity)
        virt = "virtual " if self.virtual else ""
        lines = [echo(self.raw)]
        if self.kind == "function":
            lines.append(f"void {self.name}();")
        elif self.kind == "child":
            short = self.type.split("::")[-1]
            lines += [
                f"{self.field_type} {self.name}() const {{ return {self.name}_; }}",
                f"{self.field_type} new{cap(self.name)}(Zef::Name name);",
                f"Zef::ValidPtr<{self.type}> {self.name}Is(Zef::Name name);",
                f"{self.field_type} {self.name}Del();",
            ]
        else:
            read = f"Zef::loaded({self.name}_)" if self.stored else f"{self.name}_"
            lines.append(f"{self.field_type} {self.name}() const {{ return {read}; }}")
            sig = {"Is": f"{self.name}Is({self.param} v)", "Inc": f"{self.name}Inc()", "Del": f"{self.name}Del()"}
            lines += [f"{virt}void {sig[op]};" for op in self.ops]
        return "".join(f"  {line}\n" for line in lines)

    def field(self):
        if self.kind == "function":
            return ""
        if self.kind == "collection":
            return f"  Zef::HashMap<{self.type}, Zef::Name> {self.name}_;\n"
        if self.kind == "references":
            return f"  Zef::HashMap<Zef{cap(self.name)}, Zef::Name> {self.name}_;\n"
        init = f"{{{self.default}}}" if self.default != "" else "{}"
        storage = f"Zef::Stored<{self.field_type}>" if self.stored else self.field_type
        return f"  {storage} {self.name}_{init};\n"

    def generic_params(self, entity):
        """The parameter names a by-name creation or call reports, or None."""
        if self.kind == "collection":
            return ["name"] + [p.name for p in self.collection.params]
        if self.kind == "child":
            return ["name"]
        if self.kind == "function":
            return []
        return None

    def generic_row(self, entity):
        """The row of the by-name access table."""
        e, a = f"&{entity.name}::", self.name
        params = f"k{entity.name}{cap(a)}Params"
        row = {
            "value": f"genericScalar<{e}{a}, {e}{a}Is>({self.id}, \"{a}\")",
            "reference": f"genericScalar<{e}{a}, {e}{a}Is>({self.id}, \"{a}\")",
            "child": f"genericChild<{e}{a}, {e}{a}Is, {e}{a}Del>({self.id}, \"{a}\", {params})",
            "function": f"genericFunctionAttr<{e}{a}>({self.id}, \"{a}\", {params})",
            "collection": f"genericCollection<{e}{a}, {e}{a}Count, {e}{a}Is, {e}{a}Del>({self.id}, \"{a}\", {params})",
            "references": f"genericReferences<{e}{a}, {e}{a}Count, {e}{a}Is, {e}{a}Del>({self.id}, \"{a}\")",
        }[self.kind]
        return f"    Zef::{row},\n"

    def inline_definitions(self, t, entity):
        if self.kind not in ("value", "reference"):
            return ""
        sub = dict(name=entity.name, attr=self.name, param=self.param, id=self.id, handler=self.handler,
                   echo=echo(self.raw), type=self.field_type)
        return "\n" + "".join(t["mutator_" + op.lower()].substitute(sub) for op in self.ops)

    def handlers(self):
        if self.kind in ("collection", "references"):
            return C["handlers"].substitute(Attr=cap(self.name))
        return f"  virtual void {self.handler}();\n" if self.notifies else ""

    def handler_definitions(self, entity):
        """The reactor's own handlers, which do nothing: defined once, in the
        library, so that every vtable holds the same address for each."""
        if self.kind in ("collection", "references"):
            return C["handler_definitions"].substitute(Attr=cap(self.name), name=entity.name)
        return f"void {entity.name}::NotifieeConst::{self.handler}() {{}}\n" if self.notifies else ""

    def adapter_handler(self):
        """The generic adapter's handler: it passes the attribute's id on."""
        if self.kind in ("collection", "references"):
            return C["adapter_handler"].substitute(Attr=cap(self.name), id=self.id)
        return f"  void {self.handler}() override {{ this->tell({self.id}); }}\n" if self.notifies else ""

    def definitions(self, t, entity):
        if self.kind in ("collection", "references"):
            return self.collection.definitions(entity)
        if self.kind != "child":
            return ""
        return t["child"].substitute(name=entity.name, attr=self.name, Attr=cap(self.name), type=self.type,
                                     id=self.id, handler=self.handler, factory=self.type.split("::")[-1] + "Is")


class Collection:
    """A named collection of child entities that the directory creates, keys by
    name, parents and announces per key."""

    def __init__(self, attr, raw, scalars):
        self.attr = attr
        self.factory = raw.get("factory", f"{attr.type}::{attr.type.split('::')[-1]}Is")
        self.params = [Param(p, scalars) for p in raw.get("param", [])]
        for p in self.params:
            if p.check not in ("same", "equal", "update"):
                raise ModelError(f"collection {attr.name}: parameter {p.name} needs check = same, equal or update")

    def sub(self, entity, **more):
        a = self.attr
        return dict(name=entity.name, attr=a.name, Attr=cap(a.name), type=a.type, id=a.id, echo=echo(a.raw),
                    factory=self.factory, params=", ".join(["Zef::Name key"] + [p.decl for p in self.params]),
                    args=", ".join(["key"] + [p.name for p in self.params]), **more)

    @property
    def prefix(self):
        return "ref_" if self.attr.kind == "references" else ""

    def declarations(self, entity):
        return C[self.prefix + "declarations"].substitute(self.sub(entity))

    def iterators(self, entity):
        return C["ref_record" if self.prefix else "iterators"].substitute(self.sub(entity, ns=entity.ns))

    def definitions(self, entity):
        if self.prefix:
            return C["ref_definitions"].substitute(self.sub(entity, ns=entity.ns))
        checks = "".join(
            C["check_update" if p.check == "update" else "check_same"].substitute(param=p.name, member=p.member)
            for p in self.params
        )
        return C["definitions"].substitute(self.sub(entity, checks=checks))


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
        self.alignment = field_alignment(self.kind, self.type, scalars)
        # For a directory's member: how re-creation compares it, and the
        # member's reader that gives the current value.
        self.check = raw.get("check", "")
        self.member = raw.get("member", self.name)


class Entity:
    def __init__(self, raw, scalars, ctx_pass=""):
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
        self.factory = raw.get("factory", "")
        # The function that describes this library's types once a reactor
        # is active; a type built before then asks it first.
        self.pass_function = ctx_pass

    def registered_type_name(self, cxx):
        """The name the registry knows an attribute's type by."""
        if cxx in BUILTIN_TYPE_NAMES:
            return BUILTIN_TYPE_NAMES[cxx]
        if cxx in {e["name"] for e in self.raw.get("enum", [])}:
            return f"{self.ns}::{self.name}::{cxx}"
        return cxx if "::" in cxx else f"{self.ns}::{cxx}"

    def attr_defs(self):
        rows = []
        if self.raw.get("key_attribute"):
            rows.append(attr_def("fwkKey", 0, "Zef::Name", "key"))
        if self.rooted:
            rows.append(attr_def("isNondestructing", 6, "bool", "base"))
        rows.append(attr_def("zefHasAttrLogInterface", 154, "bool", "base_function"))
        for a in self.attrs:
            type_name = self.registered_type_name(a.type) if a.type else "void"
            extra = "name" if a.kind in ("collection", "references") else None
            rows.append(attr_def(a.name, a.id, type_name, a.kind, extra))
        return "".join(rows)

    @property
    def full_name(self):
        return f"{self.ns}::{self.name}"

    def ctor_arg_types(self):
        """Constructor arguments as the registry lists them: name and type name."""
        args = [("name", "Zef::Name")]
        for p in self.params:
            args.append((p.name, self.registered_type_name(p.type)))
        return args

    def stored_params(self):
        """The parameters a rooted entity keeps as fields, in the order of
        its fields (widest first), which its constructor initialises them in."""
        if not self.rooted:
            return []
        return sorted((p for p in self.params if p.own), key=lambda p: -p.alignment)

    def ctor_params(self):
        return ", ".join(["Zef::Name name"] + [p.decl for p in self.params])

    def ctor_args(self):
        return ", ".join(["std::move(name)"] + [p.name for p in self.params])



def enum_text(e, indent=""):
    """An enumeration; with `instance`, also its checked conversion from a number."""
    key = "enum class" if e.get("scoped") else "enum"
    values = e.get("values", [])
    enumerators = "".join(f"{indent}  {v if '=' in v else f'{v} = {i}'},\n" for i, v in enumerate(values))
    text = f"{indent}{key} {e['name']} : {e.get('underlying', 'std::uint32_t')} {{\n{enumerators}{indent}}};\n"
    if e.get("instance"):
        text += T["enum_instance"].substitute(name=e["name"], count=len(values), indent=indent)
    # Whether a number read from an attribute log names an enumerator; an
    # enumeration without enumerators is an identifier, and any number is one.
    names = [v.split("=")[0].strip() for v in values]
    known = "".join(f"{indent}    case {e['name']}::{n}:\n" for n in names)
    body = (f"{indent}  switch (v) {{\n{known}{indent}      return true;\n{indent}    default:\n"
            f"{indent}      return false;\n{indent}  }}\n") if names else f"{indent}  return true;\n"
    text += (f"{indent}{'friend' if indent else 'inline'} bool zefEnumKnown({e['name']} v) {{\n"
             + ("" if names else f"{indent}  (void)v;\n") + body + f"{indent}}}\n")
    return text


def header(model, ctx):
    enums = "".join(
        f"namespace {e['namespace']} {{\n\n{enum_text(e)}\n}}  // namespace {e['namespace']}\n\n"
        for e in model.get("enum", [])
    )
    return enums + "".join(entity_header(T, Entity(e, ctx.scalars, ctx.pass_function)) for e in model.get("entity", []))


def source(model, ctx):
    return "".join(entity_source(T, Entity(e, ctx.scalars, ctx.pass_function)) for e in model.get("entity", []))


def entity_header(t, e):
    ids = "".join(f"  static constexpr Zef::AttributeId {a.name}AttrId = {a.id};\n" for a in e.attrs)
    accessors = "".join("\n" + a.declarations(e) for a in e.attrs)
    params_accessors = "".join(
        f"  {p.field_type} {p.name}() const {{ return {p.name}_; }}\n" for p in e.params if p.own and e.rooted
    )
    fields = ""
    if e.hm_link == "first":
        fields += f" public:\n  Zef::Ptr<{e.name}> fwkHmNext;\n\n private:\n"
    else:
        fields += " private:\n"
    # Widest first, parameters then attributes in model order among equals:
    # no padding between fields.
    own = [(p.alignment, f"  {p.field_type} {p.name}_;\n") for p in e.stored_params()]
    own += [(a.alignment, a.field()) for a in e.attrs]
    fields += "".join(text for _, text in sorted(own, key=lambda f: -f[0]))
    if e.hm_link == "last":
        fields += f"\n public:\n  Zef::Ptr<{e.name}> fwkHmNext;\n\n private:\n"
    if e.rooted:
        fields += "  mutable Zef::ListRaw<NotifieeConst> notifiees_;\n"
    handlers = ""
    if e.rooted:
        handlers += "  virtual void onIsNondestructing();\n"
    handlers += "".join(a.handlers() for a in e.attrs)
    collections = [a for a in e.attrs if a.kind in ("collection", "references")]
    handlers += "".join(C["reactor_fields"].substitute(attr=a.name, Attr=cap(a.name)) for a in collections)
    mutators = [a.inline_definitions(t, e) for a in e.attrs]
    nested = "".join(enum_text(x, "  ") + "\n" for x in e.raw.get("enum", []))
    return t["class"].substitute(
        nested_enums=nested, ns=e.ns, name=e.name, base=e.base, ids=ids.rstrip("\n"), params=e.ctor_params(),
        params_accessors=params_accessors, accessors=accessors, adapter_decls=adapter_gen.entity_decls(),
        own_slots=t["own_slots"].template if e.rooted else "",
        list_ops=t["list_ops"].template if e.rooted else "",
        explicit="explicit " if not e.params else "",
        fields=fields,
        notifiee_base="Zef::Entity::NotifieeConst" if e.rooted else f"{e.base}::NotifieeConst",
        reactor_ops=t["reactor_ops"].template if e.rooted else "",
        handlers=handlers,
        adapter_base="Zef::GenericIfAdapter<N>" if e.rooted else f"{e.base}::GenericIfAdapterOf_<N>",
        adapter_handlers="".join(a.adapter_handler() for a in e.attrs),
        adapter_pending=C["adapter_pending"].substitute(
            cases="".join(C["adapter_pending_case"].substitute(Attr=cap(a.name), id=a.id)
                          for a in collections)) if collections else "",
        list_next=t["list_next"].template if e.rooted else "",
        base_type="Zef::Entity::_fwkType()" if e.rooted else f"{e.base}::_fwkType()",
        inline_list_ops=t["inline_list_ops"].substitute(name=e.name) if e.rooted else "",
        new_entity=t["new_entity"].template if e.factory else "",
        factory_declaration=t["factory_declaration"].substitute(name=e.name, factory=e.factory) if e.factory else "",
        mutators="".join(a.collection.iterators(e) for a in collections) + "".join(mutators),
    )


def entity_source(t, e):
    if e.rooted:
        base_init = "Zef::Entity(std::move(name))"
        base_init += "".join(f", {p.name}_({p.name})" for p in e.stored_params())
    else:
        base_init = f"{e.base}({e.ctor_args()})"
    init = "".join(f"  {line};\n" for line in e.init)
    # Owned children are detached, and the reactors told, before the fields go.
    # A directory's members are unparented, and the reactors told, in
    # collection order before the maps go.
    children = [f"{a.name}Del();" for a in e.attrs if a.kind == "child"]
    children += [f"{a.name}DelAll();" for a in e.attrs if a.kind == "collection"]
    if e.rooted:
        children.append("Zef::retireNotifiees(notifiees_);")
    destructor = ("{ " + " ".join(children) + " }") if children else "= default;"
    names = "".join(f'    "{a.name}",\n' for a in e.attrs)
    has_names = bool(e.attrs)
    return t["definitions"].substitute(
        ns=e.ns, name=e.name, params=e.ctor_params(), args=e.ctor_args(), base_init=base_init, init=init,
        attribute_names=t["attribute_names"].substitute(name=e.name, first_id=e.first_id, names=names) if has_names else "",
        name_lookup=t["name_lookup"].substitute(name=e.name, first_id=e.first_id, base=e.base) if has_names
        else f"Zef::String8 {e.name}::attributeString(Zef::AttributeId id) const {{ return {e.base}::attributeString(id); }}\n\n",
        own_slot_definitions=t["own_slot_definitions"].substitute(name=e.name) if e.rooted else "",
        retire=f"{{ Zef::reactorRetire<{e.name}>(this); }}" if e.rooted else "= default;",
        reactor_op_definitions=t["reactor_op_definitions"].substitute(name=e.name) if e.rooted else "",
        handler_definitions=(f"void {e.name}::NotifieeConst::onIsNondestructing() {{}}\n" if e.rooted else "")
        + "".join(a.handler_definitions(e) for a in e.attrs),
        destructor=destructor,
        introspection_pass=f", &{e.pass_function}" if e.pass_function else "",
        type_definition=t["type_definition"].substitute(
            name=e.name, full_name=e.full_name, attr_defs=e.attr_defs(),
            base_type="Zef::Entity::_fwkType()" if e.rooted else f"{e.base}::_fwkType()",
            ctor_args="".join(f'  constructorArgNameQEnq("{n}");\n  constructorArgTypeQEnq("{t_}");\n'
                              for n, t_ in e.ctor_arg_types()),
            factory_definitions=t["factory_definitions"].substitute(name=e.name, factory=e.factory)
            if e.factory else "",
            generic_table=generic_table(t, e)),
        attr_definitions="".join(a.definitions(t, e) for a in e.attrs),
    )


def generic_table(t, e):
    """The by-name access table: parameter name lists, then one row an attribute."""
    params = ""
    for a in e.attrs:
        names = a.generic_params(e)
        if names is not None:
            quoted = "".join(f'"{n}", ' for n in names)
            params += f"constexpr char const* k{e.name}{cap(a.name)}Params[] = {{{quoted}nullptr}};\n"
    if e.attrs:
        params += f"constexpr Zef::GenericAttr k{e.name}GenericAttrs[] = {{\n"
        params += "".join(a.generic_row(e) for a in e.attrs) + "};\n"
        rows = f"k{e.name}GenericAttrs"
    else:
        rows = "{}"
    base = "" if e.rooted else f", &{e.base}::GenericIf_::zefTable"
    return t["generic_table"].substitute(name=e.name, generic_params=params, generic_rows=rows, generic_base=base)


