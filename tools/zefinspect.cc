// zefinspect: the library's registered types, and their instances reached
// through the generic interface by attribute name, from the command line.
//
//   zefinspect list
//   zefinspect run 'create PhyBcm54980ChipConfigDir c' 'add c phyChipConfig chip0' 'get chip0 reset'
//
// `run` takes one command an argument, or reads them a line each from stdin.
// The first command that fails stops the run; it is reported as the command,
// what was wrong and what was expected, and the program exits with 1.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/types/generic_if.h"
#include "types/phy_bcm54980_types.h"

namespace {

using Zef::AttributeOp;
using Zef::GenericIf;
using Zef::Ptr;
using Zef::ZefType;

char const kNamespace[] = "Hardware::Phy::";

// Every command with its usage and an example; the examples run in this
// order, one after the other.
struct Command {
  char const* name;
  char const* usage;
  char const* example;
};
constexpr Command kCommands[] = {
    {"create", "create TYPE NAME", "create PhyBcm54980ChipConfigDir chips"},
    {"add", "add OBJECT COLLECTION KEY [ARGUMENT...]", "add chips phyChipConfig chip0"},
    {"get", "get OBJECT ATTRIBUTE [KEY]", "get chips phyChipConfig chip0"},
    {"set", "set OBJECT ATTRIBUTE VALUE", "set chip0 isNondestructing 0"},
    {"count", "count OBJECT COLLECTION", "count chips phyChipConfig"},
    {"del", "del OBJECT COLLECTION KEY", "del chips phyChipConfig chip0"},
};

std::string commandHelp() {
  std::string s = "Commands, with an example of each:\n";
  for (Command const& c : kCommands) {
    s += "  " + std::string(c.usage) + "\n      " + c.example + "\n";
  }
  s += "An argument or value names an object made earlier in the run, or is text: null, a number, a\n"
       "name, or a value's text form such as\n"
       "  set s crcErrors Value('Hardware::Phy::EventOrCountStat', ** {'count': 5, 'last': 7.5})\n";
  return s;
}

// A command that cannot be carried out: what was wrong, and what was expected.
class CommandError : public std::runtime_error {
 public:
  using runtime_error::runtime_error;
};

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

ZefType* typeNamed(std::string const& name) {
  ZefType* t = ZefType::registered(Zef::Name(name));
  return t ? t : ZefType::registered(Zef::Name(kNamespace + name));
}

std::string fullName(ZefType const* t) { return t ? t->typeNodeName().str() : "an unknown type"; }

void listTypes(std::ostream& out) {
  for (Zef::Name const& full : ZefType::registeredNames()) {
    if (full.str().rfind(kNamespace, 0) != 0) continue;
    ZefType const* t = ZefType::registered(full);
    out << full << (t->flags().isValue() ? " value" : " entity") << "\n";
    for (auto const& a : t->attributes()) {
      out << "  " << a->id() << " " << a->name() << " : " << a->typeName() << " " << hex(a->flags().first) << " "
          << hex(a->flags().second) << "\n";
    }
  }
}

// The model attributes of `t` and its base types (collections only, when
// asked), as "a, b, c".
std::string attributeNames(ZefType const* t, bool collectionsOnly) {
  std::string names;
  for (; t; t = t->base()) {
    for (auto const& a : t->attributes()) {
      if (a->id() < 258 || (collectionsOnly && !a->isCollection())) continue;
      if (!names.empty()) names += ", ";
      names += a->name().str();
    }
  }
  return names.empty() ? "none" : names;
}

// The objects a session has made or read, by the names it gave them.
class Session {
 public:
  explicit Session(std::ostream& out) : out_(out) {}

  void execute(std::string const& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; w.size() < 3 && in >> word;) w.push_back(word);
    if (w.empty()) return;
    // A value's text form holds blanks: set takes the rest of the line.
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (w[0] == "set") {
      if (w.size() != 3 || rest.empty()) usage("set");
      return set(w[1], w[2], rest);
    }
    for (std::istringstream more(rest); more >> rest;) w.push_back(rest);
    if (w[0] == "create") {
      if (w.size() != 3) usage("create");
      return create(w[1], w[2]);
    }
    if (w[0] == "add") {
      if (w.size() < 4) usage("add");
      return add(w);
    }
    if (w[0] == "get") {
      if (w.size() != 3 && w.size() != 4) usage("get");
      return get(w[1], w[2], w.size() == 4 ? &w[3] : nullptr);
    }
    if (w[0] == "count") {
      if (w.size() != 3) usage("count");
      return count(w[1], w[2]);
    }
    if (w[0] == "del") {
      if (w.size() != 4) usage("del");
      return del(w[1], w[2], w[3]);
    }
    std::string names;
    for (Command const& c : kCommands) names += std::string(names.empty() ? "" : ", ") + c.name;
    throw CommandError("unknown command '" + w[0] + "'; expected one of " + names);
  }

 private:
  [[noreturn]] static void usage(std::string const& name) {
    for (Command const& c : kCommands) {
      if (name == c.name) {
        throw CommandError(std::string("wrong number of words; expected ") + c.usage + ", for example " + c.example);
      }
    }
    throw CommandError("unknown command " + name);
  }

  static Ptr<GenericIf> name(std::string const& s) { return Zef::genericIfOf(Zef::Name(s), false); }

  void create(std::string const& type, std::string const& n) {
    ZefType* t = typeNamed(type);
    if (!t) throw CommandError("unknown type '" + type + "'; expected a type that zefinspect list shows");
    Ptr<GenericIf::List> args(new GenericIf::List(), Zef::adoptRef);
    args->itemEnq(name(n));
    try {
      keep(n, t->genericIf(static_cast<GenericIf const*>(args.ptr()), false));
    } catch (Zef::TypeException const&) {
      throw CommandError(fullName(t) + " is not created from a name; expected a type with a factory (a directory "
                                       "or PhyBcm54980Stats), or add the object to its directory");
    }
  }

  void add(std::vector<std::string> const& w) {
    Ptr<GenericIf> const& dir = object(w[1]);
    std::string const& coll = w[2];
    Zef::AttributeId id = attributeId(dir, coll, true);
    Ptr<Zef::ZefAttr const> a = dir->objectType()->attr(Zef::Name(coll));
    if (!a || !a->isCollection()) throw notACollection(dir, coll);
    ZefType const* member = a ? ZefType::registered(a->typeName()) : nullptr;
    // The member's constructor arguments, the name first.
    std::vector<Zef::Name> const none;
    auto const& argNames = member ? member->constructorArgNames() : none;
    auto const& argTypes = member ? member->constructorArgTypes() : none;
    auto typeAt = [&](std::size_t i) { return i < argTypes.size() ? argTypes[i].str() : std::string(); };
    Ptr<GenericIf::List> args(new GenericIf::List(), Zef::adoptRef);
    args->itemEnq(name(w[3]));
    for (std::size_t i = 4; i < w.size(); ++i) {
      std::size_t const at = i - 3;
      std::string const param = at < argNames.size() ? " '" + argNames[at].str() + "'" : "";
      args->itemEnq(valueOf(typeAt(at), w[i], "argument" + param));
    }
    try {
      keep(w[3], dir->attributeOp(AttributeOp{id, AttributeOp::kWrite}, nullptr, Ptr<GenericIf>(args.ptr())));
    } catch (Zef::TypeException const& e) {
      std::string const param = e.what();
      for (std::size_t i = 0; i < argNames.size(); ++i) {
        if (argNames[i].str() != param) continue;
        std::string const expected = "'" + param + "' (" + typeAt(i) + ")";
        if (i >= w.size() - 3) throw CommandError("missing argument " + expected);
        throw CommandError("argument " + expected + " cannot be '" + w[i + 3] + "'");
      }
      if (param != coll) throw;
      // A reference directory keeps entities made elsewhere: the key names one.
      auto it = objects_.find(w[3]);
      if (w.size() != 4 || it == objects_.end()) {
        throw CommandError(coll + " holds references to existing " + fullName(member) +
                           " entities; expected the name of one made earlier in the run, and no arguments");
      }
      try {
        dir->attributeOp(AttributeOp{id, AttributeOp::kWrite}, nullptr, it->second);
      } catch (Zef::TypeException const&) {
        throw CommandError("'" + w[3] + "' is a " + fullName(it->second->objectType()) + "; expected a " +
                           fullName(member));
      }
    } catch (Zef::UnknownArgException const&) {
      std::string expected;
      for (std::size_t i = 1; i < argNames.size(); ++i) {
        expected += " " + argNames[i].str() + " (" + typeAt(i) + ")";
      }
      throw CommandError("too many arguments: " + std::to_string(w.size() - 4) + " after the key; expected " +
                         (expected.empty() ? std::string("none") : std::to_string(argNames.size() - 1) + ":" + expected));
    }
  }

  void get(std::string const& obj, std::string const& attr, std::string const* key) {
    Ptr<GenericIf> const& g = object(obj);
    Zef::AttributeId id = attributeId(g, attr, false);
    try {
      Ptr<GenericIf> r = g->attributeOp(AttributeOp{id, AttributeOp::kRead},
                                        key ? Ptr<GenericIf const>(name(*key).ptr()) : nullptr, nullptr);
      // A member read by key is kept under its key for later commands.
      if (key) keep(*key, r);
      print(r);
    } catch (Zef::BadIndexAttrException const&) {
      throw CommandError(attr + " takes no key; expected get " + obj + " " + attr);
    } catch (Zef::OpNotSupportedException const&) {
      throw CommandError(attr + " cannot be read");
    }
  }

  void set(std::string const& obj, std::string const& attr, std::string const& text) {
    Ptr<GenericIf> const& g = object(obj);
    Zef::AttributeId id = attributeId(g, attr, false);
    Ptr<Zef::ZefAttr const> a = g->objectType()->attr(Zef::Name(attr));
    std::string const type = a ? a->typeName().str() : "";
    // Events and functions have no value to set.
    if (type == "void") throw CommandError(attr + " cannot be written");
    Ptr<GenericIf> value = valueOf(type, text, attr);
    try {
      g->attributeOp(AttributeOp{id, AttributeOp::kWrite}, nullptr, value);
    } catch (Zef::TypeException const&) {
      throw CommandError(attr + " cannot be '" + text + "'; expected a " + (type.empty() ? "value of its type" : type));
    } catch (Zef::OpNotSupportedException const&) {
      throw CommandError(attr + " cannot be written");
    }
  }

  void count(std::string const& obj, std::string const& coll) {
    Ptr<GenericIf> const& g = object(obj);
    try {
      print(g->attributeOp(AttributeOp{attributeId(g, coll, true), AttributeOp::kCount}, nullptr, nullptr));
    } catch (Zef::OpNotSupportedException const&) {
      throw notACollection(g, coll);
    }
  }

  void del(std::string const& obj, std::string const& coll, std::string const& key) {
    Ptr<GenericIf> const& g = object(obj);
    try {
      print(g->attributeOp(AttributeOp{attributeId(g, coll, true), AttributeOp::kDelete},
                           Ptr<GenericIf const>(name(key).ptr()), nullptr));
    } catch (Zef::OpNotSupportedException const&) {
      throw notACollection(g, coll);
    } catch (Zef::BadIndexAttrException const&) {
      throw notACollection(g, coll);
    }
  }

  static CommandError notACollection(Ptr<GenericIf> const& g, std::string const& attr) {
    std::string const names = attributeNames(g->objectType(), true);
    if (names == "none") return CommandError(attr + " is not a collection, and " + fullName(g->objectType()) + " has none");
    return CommandError(attr + " is not a collection; expected one of " + names);
  }

  void keep(std::string const& n, Ptr<GenericIf> const& g) {
    if (g) objects_[n] = g;
  }

  Ptr<GenericIf> const& object(std::string const& n) const {
    auto it = objects_.find(n);
    if (it == objects_.end()) {
      throw CommandError("no object named '" + n + "'; expected one made earlier in the run by create, add or get");
    }
    return it->second;
  }

  Zef::AttributeId attributeId(Ptr<GenericIf> const& g, std::string const& attr, bool collection) const {
    Zef::AttributeId id = g->attributeId(attr);
    if (id < 0) {
      throw CommandError(fullName(g->objectType()) + " has no attribute '" + attr + "'; expected one of " +
                         attributeNames(g->objectType(), collection));
    }
    return id;
  }

  // `text` as a value of the registered type `type` (unknown: empty): null,
  // an object of the session, a number or flag read whole and checked
  // against its type's range, a string or name as it stands, or a value's
  // text form. `what` names it in a refusal.
  Ptr<GenericIf> valueOf(std::string const& type, std::string const& text, std::string const& what) const {
    if (text == "null") return nullptr;
    if (auto it = objects_.find(text); it != objects_.end()) return it->second;
    try {
      if (Ptr<GenericIf> number = numberFor(type, Zef::String8(text))) return number;
      if (type == "Zef::Name") return Zef::genericIfOf(Zef::Name(text), false);
      if (type == "Zef::String" || type.empty()) return Zef::genericIfOf(Zef::String8(text), false);
      if (ZefType* t = ZefType::registered(Zef::Name(type))) return t->genericIfFromText(Zef::String8(text));
    } catch (Zef::RangeException const& e) {
      throw CommandError("bad value '" + text + "' for " + what + " (" + type + "): " + e.what());
    } catch (Zef::TypeException const&) {
    }
    throw CommandError("no object named '" + text + "' for " + what + " (" + type +
                       "); expected one made earlier in the run, or null");
  }

  // A number of type `type` read as a value's text form reads its fields, and
  // checked against the type's range; null when `type` is not a number.
  static Ptr<GenericIf> numberFor(std::string const& type, Zef::String8 const& text) {
    auto of = [](auto v) { return Zef::genericIfOf(v, false); };
    if (type == "bool" && (text == "true" || text == "false")) return of(text == "true");
    if (type == "bool") return of(Zef::strepToUnsigned(text, 1, Zef::kBoolMessage) == 1);
    if (type == "U1") return of(Zef::strepToValue<U1>(text));
    if (type == "U4") return of(U4(static_cast<unsigned char>(Zef::strepToUnsigned(text, U4::kMax, Zef::kU4Message))));
    if (type == "U6") return of(U6(static_cast<unsigned char>(Zef::strepToUnsigned(text, U6::kMax, Zef::kU6Message))));
    if (type == "U22") return of(U22(static_cast<unsigned>(Zef::strepToUnsigned(text, U22::kMax, Zef::kU22Message))));
    if (type == "U8") return of(static_cast<unsigned char>(Zef::strepToUnsigned(text, 0xff, Zef::kU8Message)));
    if (type == "U32") return of(static_cast<U32>(Zef::strepToUnsigned(text, 0xffffffff, Zef::kU32Message)));
    if (type == "Zef::Seconds") return of(Zef::strepToNumber<double>(text));
    return nullptr;
  }

  void print(Ptr<GenericIf> const& g) { out_ << (g ? std::string(g->strRep().charPtr()) : "null") << "\n"; }

  std::ostream& out_;
  std::map<std::string, Ptr<GenericIf>> objects_;
};

}  // namespace

int main(int argc, char** argv) {
  // A use of the library, so that the linker keeps it: loading it registers its types.
  if (Hardware::Phy::zefAttributeHandleCount() == 0) return 2;
  CLI::App app{"Inspect the PHY model's types and objects by attribute name"};
  app.require_subcommand(1);
  app.add_subcommand("list", "the registered types with their attributes: id, name, type, flag words")
      ->callback([] { listTypes(std::cout); });
  std::vector<std::string> commands;
  auto* run = app.add_subcommand("run", "run commands on objects made by name; the first failure stops the run");
  run->add_option("commands", commands, "commands, one an argument; none: read lines from stdin");
  run->footer(commandHelp());
  CLI11_PARSE(app, argc, argv);
  if (!run->parsed()) return 0;
  Session session(std::cout);
  std::string current;
  try {
    if (commands.empty()) {
      while (std::getline(std::cin, current)) session.execute(current);
    } else {
      for (std::string const& c : commands) session.execute(current = c);
    }
  } catch (std::exception const& e) {
    std::cout.flush();
    std::cerr << current << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
