"""Values: plain copyable records of fields, compared field by field, with a
text form and an attribute-log encoding.

The generated class holds its fields, their readers and setters, and a field
table (name and member pointer per field, in declaration order); equality,
text, parser, writer and reader are one-line bodies that hand the table to the
runtime's templates in runtime/types/value.h. A statistic adds `updateIs`, which
passes the fields of an observation to `doUpdate`, whose rule is hand-written.
"""

from entity_gen import attr_def
from common import ModelError, echo, fmt, load_templates

T = load_templates("value.tmpl")

# The field types a value may hold; runtime/types/value.h has a FieldKind for each.
FIELD_TYPES = ("U1", "U32", "Zef::Seconds")
FIRST_FIELD_ID = 2


def required(raw, key, what):
    try:
        return raw[key]
    except KeyError:
        raise ModelError(f"{what}: missing {key}") from None


class Field:
    def __init__(self, raw, owner, id):
        self.raw = raw
        self.name = required(raw, "name", f"{owner} field")
        self.type = required(raw, "type", f"{owner}.{self.name}")
        self.id = id
        if self.type not in FIELD_TYPES:
            raise ModelError(f"{owner}.{self.name}: type {self.type} is not one of {', '.join(FIELD_TYPES)}")


class Param:
    """A doUpdate parameter and the observation field it is given."""

    def __init__(self, raw, owner, observation):
        self.name = required(raw, "name", f"{owner}.doUpdate parameter")
        self.type = required(raw, "type", f"{owner}.doUpdate {self.name}")
        self.source = required(raw, "from", f"{owner}.doUpdate {self.name}")
        self.decl = f"{self.type} const& {self.name}" if raw.get("ref", False) else f"{self.type} {self.name}"
        field = next((f for f in observation.fields if f.name == self.source), None)
        if field is None:
            raise ModelError(f"{owner}.doUpdate {self.name}: {observation.name} has no field {self.source}")
        if field.type != self.type:
            raise ModelError(f"{owner}.doUpdate {self.name}: {self.type}, but {observation.name}.{field.name} is {field.type}")


class Value:
    def __init__(self, raw, earlier):
        self.name = required(raw, "name", "value")
        self.ns = required(raw, "namespace", self.name)
        self.doc = raw.get("doc", "")
        self.fields = [Field(f, self.name, FIRST_FIELD_ID + i) for i, f in enumerate(required(raw, "field", self.name))]
        names = [f.name for f in self.fields]
        for n in names:
            if names.count(n) > 1:
                raise ModelError(f"{self.name}: field {n} appears twice")
        self.update = raw.get("update")
        if self.update is not None:
            obs_name = required(self.update, "observation", f"{self.name}.update")
            self.observation = earlier.get(obs_name)
            if self.observation is None:
                raise ModelError(f"{self.name}.update: observation {obs_name} is not a value defined before it")
            self.params = [Param(p, self.name, self.observation) for p in required(self.update, "param", f"{self.name}.update")]

    @property
    def full_name(self):
        return f"{self.ns}::{self.name}"

    def update_echo(self):
        params = ", ".join(f"{p.name} = {p.source}" for p in self.params)
        return f"// update = {{ observation = {fmt(self.observation.name)}, param = [{params}] }}"


def values(model):
    """The model's values in declaration order; an update may only name an
    observation declared before its statistic."""
    out, earlier = [], {}
    for raw in model.get("value", []):
        v = Value(raw, earlier)
        if v.name in earlier:
            raise ModelError(f"value {v.name} appears twice")
        earlier[v.name] = v
        out.append(v)
    return out


def includes(model):
    return ["runtime/types/value.h", "runtime/attrlog/value_codec.h"] if model.get("value") else []


def header(model, ctx):
    return "".join(value_header(v) for v in values(model))


def source(model, ctx):
    return "".join(
        T["definitions"].substitute(
            ns=v.ns, name=v.name, full_name=v.full_name, attr_defs=attr_defs(v), generic_params=generic_rows(v),
            introspection_pass=f", &{ctx.pass_function}" if ctx.pass_function else "")
        for v in values(model)
    )


def attr_defs(v):
    """Fields from id 2, then a statistic's write-only update and its doUpdate
    function with its parameters' type names."""
    rows = [(f.name, f.id, f.type, "field", None) for f in v.fields]
    if v.update is not None:
        after = FIRST_FIELD_ID + len(v.fields)
        rows.append(("update", after, v.observation.full_name, "update", None))
        rows.append(("doUpdate", after + 1, "void", "function", " ".join(p.type for p in v.params)))
    return "".join(attr_def(*row) for row in rows)


def generic_rows(v):
    """The by-name access table: fields, then a statistic's update and doUpdate."""
    rows = [f'    Zef::genericScalar<&{v.name}::{f.name}, &{v.name}::{f.name}Is>({f.id}, "{f.name}"),\n' for f in v.fields]
    params = ""
    if v.update is not None:
        after = FIRST_FIELD_ID + len(v.fields)
        names = "".join(f'"{p.name}", ' for p in v.params)
        params = f"constexpr char const* k{v.name}DoUpdateParams[] = {{{names}nullptr}};\n"
        rows.append(f'    Zef::genericWriteOnly<&{v.name}::updateIs>({after}, "update"),\n')
        rows.append(f'    Zef::genericFunctionAttr<&{v.name}::doUpdate>({after + 1}, "doUpdate", k{v.name}DoUpdateParams),\n')
    return params + f"constexpr Zef::GenericAttr k{v.name}GenericAttrs[] = {{\n" + "".join(rows) + "};\n"


def value_header(v):
    ids = [(f.name, f.id) for f in v.fields]
    update = ""
    if v.update is not None:
        after = FIRST_FIELD_ID + len(v.fields)
        ids += [("update", after), ("doUpdate", after + 1)]
        update = T["update"].substitute(
            echo=v.update_echo(), observation=v.observation.name,
            args=", ".join(f"o.{p.source}()" for p in v.params),
            params=", ".join(p.decl for p in v.params),
        )
    return T["class"].substitute(
        ns=v.ns, name=v.name, full_name=v.full_name,
        doc="\n".join(f"// {line}" for line in v.doc.strip().splitlines()),
        ids="".join(f"  static constexpr Zef::AttributeId {n}AttrId = {i};\n" for n, i in ids).rstrip("\n"),
        accessors="".join(T["accessors"].substitute(echo=echo(f.raw), type=f.type, field=f.name) for f in v.fields),
        update=update,
        field_table="".join(
            f'        Zef::ValueField<{v.name}, {f.type}>{{"{f.name}", &{v.name}::{f.name}_}},\n' for f in v.fields
        ),
        members="".join(f"  {f.type} {f.name}_{{}};\n" for f in v.fields),
    )
