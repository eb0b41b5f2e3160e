// Type objects, the registry, attribute definitions and handles, creation by
// type name, and the introspection pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_ptr_dirs.h"
#include "types/phy_bcm54980_types.h"

namespace {

using namespace Hardware::Phy;
using Zef::Ptr;
using Zef::ZefType;

char const* const kTypes[] = {
    "PhyBcm54980ChipConfig", "PhyBcm54980ChipConfigDir", "PhyBcm54980Config", "Event", "Count", "EventOrCount",
    "ConditionOrChanged", "ConditionStat", "EventStat", "CountStat", "EventOrCountStat", "ConditionOrCountStat",
    "ConditionOrChangedStat", "PhyBcm54980Stats", "PhyBcm54980Status", "PhyBcm54980ConfigDir",
    "PhyBcm54980StatusDir", "PhyBcm54980ConfigPtrDir", "PhyBcm54980StatusPtrDir",
};

ZefType* type(std::string const& shortName) { return ZefType::registered(Zef::Name("Hardware::Phy::" + shortName)); }

int occurrences(ZefType const* base, ZefType const* derived) {
  int n = 0;
  for (auto const& t : base->derivedTypes()) n += t.ptr() == derived;
  return n;
}

TEST(TypeRegistrationTest, EveryTypeIsRegisteredAtLoadUnderItsFullName) {
  for (char const* name : kTypes) {
    ZefType* t = type(name);
    ASSERT_NE(t, nullptr) << name;
    EXPECT_EQ(t->name(), name);
    EXPECT_EQ(t->typeNodeName(), std::string("Hardware::Phy::") + name);
    EXPECT_TRUE(t->isNondestructing());
  }
  EXPECT_EQ(type("PhyBcm54980Config"), PhyBcm54980Config::_fwkType());
  EXPECT_EQ(type("EventStat"), EventStat::_fwkType());
}

TEST(TypeRegistrationTest, OneTypeObjectPerTypeWhateverTheInstance) {
  auto a = PhyBcm54980Stats::PhyBcm54980StatsIs("a");
  auto b = PhyBcm54980Stats::PhyBcm54980StatsIs("b");
  EXPECT_EQ(a->fwkType(), b->fwkType());
  EXPECT_EQ(EventStat().fwkType(), EventStat().fwkType());
}

TEST(TypeRegistrationTest, EntitiesSitOnceInTheirBaseQueueValuesInNone) {
  EXPECT_EQ(occurrences(Zef::Entity::_fwkType(), type("PhyBcm54980ChipConfig")), 1);
  EXPECT_EQ(occurrences(Zef::Entity::_fwkType(), type("PhyBcm54980StatusPtrDir")), 1);
  EXPECT_EQ(occurrences(PhyConfig::_fwkType(), type("PhyBcm54980Config")), 1);
  EXPECT_EQ(occurrences(PhyStatus::_fwkType(), type("PhyBcm54980Status")), 1);
  EXPECT_EQ(type("PhyBcm54980Config")->base(), PhyConfig::_fwkType());
  for (char const* value : {"Event", "ConditionOrChangedStat"}) {
    EXPECT_EQ(type(value)->base(), nullptr);
    EXPECT_TRUE(type(value)->flags().isValue());
    EXPECT_EQ(occurrences(Zef::Entity::_fwkType(), type(value)), 0);
  }
  EXPECT_TRUE(type("PhyBcm54980ConfigDir")->flags().isEntity());
  EXPECT_EQ(type("PhyBcm54980Stats")->size(), sizeof(PhyBcm54980Stats));
}

struct Expected {
  char const* type;
  char const* attr;
  Zef::AttributeId id;
  std::uint32_t first, second, introspection;
  char const* typeName;
};

TEST(TypeRegistrationTest, AttributeDefinitionsCarryTheirIdsAndFlagWords) {
  Expected const cases[] = {
      {"PhyBcm54980ChipConfig", "fwkKey", 0, 0x00200001, 0x400, 0, "Zef::Name"},
      {"PhyBcm54980ChipConfig", "isNondestructing", 6, 0x00002043, 0, 0, "bool"},
      {"PhyBcm54980ChipConfig", "zefHasAttrLogInterface", 154, 0x00022001, 0x400, 0x08, "bool"},
      {"PhyBcm54980ChipConfig", "reset", 258, 0x08220143, 0x400, 0x02, "Fru::Gpo"},
      {"PhyBcm54980ChipConfig", "interrupt", 259, 0x08220143, 0x400, 0x02, "Fru::IntCtrl"},
      {"PhyBcm54980Config", "phyChipConfig", 386, 0x08220143, 0x400, 0x02, "Hardware::Phy::PhyBcm54980ChipConfig"},
      {"PhyBcm54980Config", "jumbo", 397, 0x00220143, 0x400, 0, "bool"},
      {"PhyBcm54980Config", "portInterruptBit", 399, 0x00220143, 0x400, 0, "U8"},
      {"PhyBcm54980Stats", "crcErrors", 268, 0x00220143, 0x400, 0, "Hardware::Phy::EventOrCountStat"},
      {"PhyBcm54980Stats", "doInitialize", 300, 0x00020001, 0x400, 0x08, "void"},
      {"PhyBcm54980Status", "debugStateSnapshotTimestamp", 387, 0x00220143, 0x400, 0, "Zef::Seconds"},
      {"PhyBcm54980ConfigDir", "phyConfig", 258, 0x08A20143, 0x10000400, 0x22, "Hardware::Phy::PhyBcm54980Config"},
      {"PhyBcm54980ConfigDir", "wexaDesc", 259, 0x08A20143, 0x10000400, 0x22, "MdioWexa::WexaDesc"},
      {"PhyBcm54980StatusPtrDir", "phyStatus", 258, 0x08A20143, 0x10000400, 0x22, "Hardware::Phy::PhyBcm54980Status"},
      {"Event", "value", 2, 0x00220107, 0x400, 0, "U1"},
      {"Event", "when", 3, 0x00220107, 0x400, 0, "Zef::Seconds"},
      {"CountStat", "count", 2, 0x00220107, 0x400, 0, "U32"},
      {"ConditionStat", "update", 5, 0x00020002, 0, 0, "Hardware::Phy::Event"},
      {"ConditionStat", "doUpdate", 6, 0x00020001, 0x400, 0x08, "void"},
  };
  for (Expected const& e : cases) {
    SCOPED_TRACE(std::string(e.type) + "::" + e.attr);
    Ptr<Zef::ZefAttr> a = Zef::ZefAttr::attr(type(e.type), e.attr);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->id(), e.id);
    EXPECT_EQ(a->flags(), (Zef::AttrFlags{e.first, e.second}));
    EXPECT_EQ(a->introspectionFlags().value(), e.introspection);
    EXPECT_EQ(a->typeName(), e.typeName);
  }
  EXPECT_EQ(Zef::ZefAttr::attr(type("PhyBcm54980ConfigDir"), "phyConfig")->extra(), "name");
  EXPECT_EQ(Zef::ZefAttr::attr(type("ConditionStat"), "doUpdate")->extra(), "U1 Zef::Seconds");
  EXPECT_EQ(Zef::ZefAttr::attr(type("CountStat"), "doUpdate")->extra(), "U32 Zef::Seconds");
  EXPECT_FALSE(Zef::ZefAttr::attr(type("Event"), "nothing"));
  // Inherited attributes are found through the base type.
  EXPECT_EQ(Zef::ZefAttr::attr(type("PhyBcm54980Config"), "datasheetRegisterBase")->id(), 260);
}

TEST(TypeRegistrationTest, ConstructorArgumentsAreListedWithTheirTypeNames) {
  auto args = [](char const* t) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < type(t)->constructorArgNames().size(); ++i) {
      out.push_back(type(t)->constructorArgNames()[i].str() + ":" + type(t)->constructorArgTypes()[i].str());
    }
    return out;
  };
  EXPECT_EQ(args("PhyBcm54980ChipConfigDir"), std::vector<std::string>{"name:Zef::Name"});
  EXPECT_EQ(args("PhyBcm54980Config"), (std::vector<std::string>{"name:Zef::Name", "wexaDesc:MdioWexa::WexaDesc",
                                                                  "api:Zef::String", "minBlobVersion:Zef::String"}));
  EXPECT_EQ(args("PhyBcm54980Status"),
            (std::vector<std::string>{"name:Zef::Name", "mdioClause:Hardware::Phy::MdioClause",
                                      "phyConfig:Hardware::Phy::PhyConfig",
                                      "ethIntfStatus:Interface::EthPhyIntfStatus"}));
}

TEST(TypeRegistrationTest, NinetyFiveHandlesAreKeptInLoadOrder) {
  ASSERT_EQ(zefAttributeHandleCount(), 95u);
  for (std::size_t i = 0; i < 95; ++i) EXPECT_TRUE(zefAttributeHandle(i)) << i;
  EXPECT_EQ(zefAttributeHandle(0)->name(), "isNondestructing");
  EXPECT_EQ(zefAttributeHandle(3)->name(), "reset");
  EXPECT_EQ(zefAttributeHandle(5)->name(), "fwkKey");
  EXPECT_EQ(zefAttributeHandle(94)->name(), "phyStatus");
  EXPECT_EQ(zefAttributeHandle(94)->owner(), type("PhyBcm54980StatusPtrDir"));
  EXPECT_FALSE(zefAttributeHandle(95));
}

TEST(TypeRegistrationTest, FactoryTypesCreateByTypeNameAndOthersDoNot) {
  Ptr<Zef::Entity> dir = type("PhyBcm54980StatusDir")->newEntity("status", nullptr);
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->name(), "status");
  EXPECT_EQ(dir->fwkType(), type("PhyBcm54980StatusDir"));
  EXPECT_TRUE(dynamic_cast<PhyBcm54980StatusDir*>(dir.ptr()));
  EXPECT_FALSE(type("PhyBcm54980ChipConfig")->newEntity("chip", nullptr));
  EXPECT_EQ(phyBcm54980StatsFactory("s")->name(), "s");
  EXPECT_EQ(phyBcm54980ConfigPtrDirFactory("r")->fwkType(), type("PhyBcm54980ConfigPtrDir"));
}

TEST(TypeFlagsTest, RangesAreChecked) {
  EXPECT_EQ(Zef::ZefTypeFlags(0x3fffffffffffffffull).value(), 0x3fffffffffffffffull);
  try {
    Zef::ZefTypeFlags(0x4000000000000000ull);
    FAIL();
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "ZefTypeFlags::value > 0x3fffffffffffffffull not allowed");
  }
  EXPECT_EQ(Zef::ZefAttrIntrospectionFlags(0x3f).value(), 0x3fu);
  try {
    Zef::ZefAttrIntrospectionFlags(0x40);
    FAIL();
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "ZefAttrIntrospectionFlags::value > 0x3f not allowed");
  }
  Zef::ZefTypeFlags f = Zef::ZefTypeFlags::zefEmpty();
  f.isEntityIs(true);
  f.hasGenericIfSupportIs(true);
  f.isValueIs(true);
  EXPECT_EQ(f.value(), (1ull << 59) | (1ull << 61) | 1ull);
  EXPECT_EQ((Zef::ZefAttrIntrospectionFlags::hasInternalIndex_() | Zef::ZefAttrIntrospectionFlags::isIndependentDomainAttr_()).value(), 0x22u);
}

// Records what the pass tells, one line per call.
class RecordingReactor : public Zef::IntrospectionReactor {
 public:
  void handleNameSpace(char const* name) override { lines.push_back(std::string("ns ") + name); }
  void handleScopeExit() override { lines.push_back("exit"); }
  void handleType(Ptr<ZefType const> const& t, Ptr<ZefType const> const& base) override {
    lines.push_back("type " + t->name().str() + (base ? " : " + base->name().str() : ""));
  }
  void handleAttr(Ptr<Zef::ZefAttr> const& a) override {
    lines.push_back("attr " + a->name().str() + " " + std::to_string(a->id()));
  }
  void handleAttrContextExit() override { ++attrExits; }
  std::vector<std::string> lines;
  int attrExits = 0;
};

TEST(IntrospectionTest, ThePassWaitsForAReactorThenRunsOnce) {
  RecordingReactor reactor;
  // Loaded without a reactor: nothing described yet. Asking for a type object
  // once a reactor is active runs the pass.
  Zef::IntrospectionReactor* previous = Zef::IntrospectionReactor::globalIs(&reactor);
  PhyBcm54980ChipConfig::_fwkType();
  std::size_t const told = reactor.lines.size();
  PhyBcm54980Stats::_fwkType();
  zefIntrospectionPass();
  Zef::IntrospectionReactor::globalIs(previous);
  EXPECT_EQ(reactor.lines.size(), told);  // once only

  ASSERT_GE(reactor.lines.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(reactor.lines.begin(), reactor.lines.begin() + 7),
            (std::vector<std::string>{"ns PhyBcm54980", "ns Agent", "exit", "exit", "ns Hardware", "ns Phy",
                                      "type PhyBcm54980ChipConfig : Entity"}));
  EXPECT_EQ(reactor.lines[7], "attr fwkKey 0");
  EXPECT_EQ(reactor.lines[reactor.lines.size() - 1], "exit");
  std::vector<std::string> types;
  for (auto const& l : reactor.lines) {
    if (l.rfind("type ", 0) == 0) types.push_back(l.substr(5, l.find(' ', 5) - 5));
  }
  EXPECT_EQ(types, std::vector<std::string>(std::begin(kTypes), std::end(kTypes)));
  int attrs = 0;
  for (auto const& l : reactor.lines) attrs += l.rfind("attr ", 0) == 0;
  EXPECT_EQ(attrs, reactor.attrExits);
  // 19 types, 2 outer and 2 empty scopes closed.
  int exits = 0;
  for (auto const& l : reactor.lines) exits += l == "exit";
  EXPECT_EQ(exits, 19 + 4);
}

}  // namespace
