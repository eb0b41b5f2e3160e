// zefinspect: the library's registered types, and their instances reached
// through the generic interface by attribute name, from the command line.
//
//   zefinspect list
//   zefinspect run 'create PhyBcm54980ChipConfigDir c' 'add c phyChipConfig chip0' 'get chip0 reset'
//
// `run` takes one command an argument, or reads them a line each from stdin.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/types/generic_if.h"
#include "types/phy_bcm54980_types.h"

namespace {

using Zef::AttributeOp;
using Zef::GenericIf;
using Zef::Ptr;

char const kNamespace[] = "Hardware::Phy::";

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

Zef::ZefType* typeNamed(std::string const& name) {
  Zef::ZefType* t = Zef::ZefType::registered(Zef::Name(name));
  return t ? t : Zef::ZefType::registered(Zef::Name(kNamespace + name));
}

void listTypes(std::ostream& out) {
  for (Zef::Name const& full : Zef::ZefType::registeredNames()) {
    if (full.str().rfind(kNamespace, 0) != 0) continue;
    Zef::ZefType const* t = Zef::ZefType::registered(full);
    out << full << (t->flags().isValue() ? " value" : " entity") << "\n";
    for (auto const& a : t->attributes()) {
      out << "  " << a->id() << " " << a->name() << " : " << a->typeName() << " " << hex(a->flags().first) << " "
          << hex(a->flags().second) << "\n";
    }
  }
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
    std::string const& cmd = w[0];
    // A value's text form holds blanks: set takes the rest of the line.
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (cmd == "set" && w.size() == 3 && !rest.empty()) {
      op(w[1], w[2], AttributeOp::kWrite, nullptr, valueFor(w[1], w[2], rest));
      return;
    }
    for (std::istringstream more(rest); more >> rest;) w.push_back(rest);
    if (cmd == "create" && w.size() == 3) return create(w[1], w[2]);
    if (cmd == "get" && (w.size() == 3 || w.size() == 4)) {
      // A member read by key is kept under its key for later commands.
      Ptr<GenericIf> g = op(w[1], w[2], AttributeOp::kRead, w.size() == 4 ? name(w[3]) : nullptr, nullptr);
      if (w.size() == 4 && g) keep(w[3], g);
      return print(g);
    }
    if (cmd == "count" && w.size() == 3) return print(op(w[1], w[2], AttributeOp::kCount, nullptr, nullptr));
    if (cmd == "add" && w.size() >= 4) {
      Ptr<GenericIf::List> args(new GenericIf::List(), Zef::adoptRef);
      args->itemEnq(name(w[3]));
      for (std::size_t i = 4; i < w.size(); ++i) args->itemEnq(argument(w[i]));
      keep(w[3], op(w[1], w[2], AttributeOp::kWrite, nullptr, Ptr<GenericIf>(args.ptr())));
      return;
    }
    if (cmd == "del" && w.size() == 4) return print(op(w[1], w[2], AttributeOp::kDelete, name(w[3]), nullptr));
    throw std::runtime_error("bad command: " + line);
  }

 private:
  static Ptr<GenericIf> name(std::string const& s) { return Zef::genericIfOf(Zef::Name(s), false); }

  void create(std::string const& type, std::string const& n) {
    Zef::ZefType* t = typeNamed(type);
    if (!t) throw std::runtime_error("unknown type: " + type);
    Ptr<GenericIf::List> args(new GenericIf::List(), Zef::adoptRef);
    args->itemEnq(name(n));
    keep(n, t->genericIf(static_cast<GenericIf const*>(args.ptr()), false));
  }

  void keep(std::string const& n, Ptr<GenericIf> const& g) {
    if (g) objects_[n] = g;
  }

  Ptr<GenericIf> const& object(std::string const& n) const {
    auto it = objects_.find(n);
    if (it == objects_.end()) throw std::runtime_error("no object named " + n);
    return it->second;
  }

  Ptr<GenericIf> op(std::string const& obj, std::string const& attr, Zef::OpId code, Ptr<GenericIf> const& key,
                    Ptr<GenericIf> const& value) {
    Ptr<GenericIf> const& g = object(obj);
    Zef::AttributeId id = g->attributeId(attr);
    if (id < 0) throw std::runtime_error("no attribute " + attr);
    return g->attributeOp(AttributeOp{id, code}, Ptr<GenericIf const>(key.ptr()), value);
  }

  // A session object when one has that name; otherwise the text.
  Ptr<GenericIf> argument(std::string const& word) const {
    auto it = objects_.find(word);
    return it != objects_.end() ? it->second : Zef::genericIfOf(Zef::String8(word), false);
  }

  // `text` read as the value of attribute `attr` of `obj`: "null" or a session
  // object for references, the text form for values.
  Ptr<GenericIf> valueFor(std::string const& obj, std::string const& attr, std::string const& text) const {
    Ptr<Zef::ZefAttr const> a = object(obj)->objectType()->attr(Zef::Name(attr));
    if (!a) throw std::runtime_error("no attribute " + attr);
    std::string const type = a->typeName().str();
    if (text == "null") return nullptr;
    if (auto it = objects_.find(text); it != objects_.end()) return it->second;
    if (Ptr<GenericIf> number = numberFor(type, Zef::String8(text))) return number;
    if (type == "Zef::String") return Zef::genericIfOf(Zef::String8(text), false);
    if (type == "Zef::Name") return Zef::genericIfOf(Zef::Name(text), false);
    Zef::ZefType* t = Zef::ZefType::registered(a->typeName());
    if (!t) throw std::runtime_error("cannot read a " + type);
    return t->genericIfFromText(Zef::String8(text));
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
  auto* run = app.add_subcommand("run", "run commands: create TYPE NAME, add OBJ COLL KEY [ARG...], "
                                        "get OBJ ATTR [KEY], set OBJ ATTR VALUE, count OBJ COLL, del OBJ COLL KEY");
  run->add_option("commands", commands, "commands, one an argument; none: read lines from stdin");
  CLI11_PARSE(app, argc, argv);
  if (!run->parsed()) return 0;
  Session session(std::cout);
  std::size_t n = 0;
  try {
    if (commands.empty()) {
      for (std::string line; std::getline(std::cin, line); ++n) session.execute(line);
    } else {
      for (; n < commands.size(); ++n) session.execute(commands[n]);
    }
  } catch (std::exception const& e) {
    std::cout.flush();
    std::cerr << "error in command " << n + 1 << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
