// Access by attribute name: reads, writes, counts, creation and deletion
// through generic interfaces, and every refusal with its message.
#include "runtime/types/generic_if.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "model/reactors.h"
#include "model/phy_bcm54980_ptr_dirs.h"
#include "model/phy_bcm54980_stats.h"
#include "model/phy_bcm54980_status.h"
#include "types/phy_bcm54980_types.h"
#include "values/values.h"

namespace {

using namespace Hardware::Phy;
using Zef::AttributeOp;
using Zef::GenericIf;
using Zef::Ptr;

template <class T>
Ptr<GenericIf> g(T const& v) {
  return Zef::genericIfOf(v, false);
}

template <class... T>
Ptr<GenericIf> list(T const&... items) {
  Ptr<GenericIf::List> l(new GenericIf::List(), Zef::adoptRef);
  (l->itemEnq(g(items)), ...);
  return Ptr<GenericIf>(l.ptr());
}

AttributeOp op(Zef::AttributeId id, Zef::OpId code) { return AttributeOp{id, code}; }

Ptr<GenericIf> read(Ptr<GenericIf> const& i, Zef::AttributeId id, Ptr<GenericIf const> const& key = nullptr) {
  return i->attributeOp(op(id, AttributeOp::kRead), key, nullptr);
}

// The exception's message, or "no exception".
template <class E, class F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (E const& e) {
    return e.what();
  }
  return "no exception";
}

class GenericIfTest : public ::testing::Test {
 protected:
  // The directories' own factories; the descriptor made by name through the
  // seven-parameter collection.
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");
  Ptr<PhyBcm54980ConfigDir> configs = phyBcm54980ConfigDirFactory("config");
  Ptr<GenericIf> configsIf = g(configs);
  Ptr<MdioWexa::WexaDesc> wexa = Ptr<MdioWexa::WexaDesc>(dynamic_cast<MdioWexa::WexaDesc*>(
      configsIf
          ->attributeOp(op(259, AttributeOp::kWrite), nullptr,
                        list(Zef::Name("d1"), device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{3},
                             Hardware::Mdio::PortAddr{1}, MdioClient::clause22, Hardware::XoltAgentId{0}))
          ->rawObject()));
  Ptr<PhyBcm54980ChipConfig> chip = phyBcm54980ChipConfigDirFactory("chips")->phyChipConfigIs("chip0");
  Ptr<GenericIf> chipIf = g(chip);
};

TEST_F(GenericIfTest, TheSevenParameterCollectionCreatesAndNamesItsParameters) {
  ASSERT_TRUE(wexa);
  EXPECT_EQ(configs->wexaDesc("d1").ptr(), wexa.ptr());
  EXPECT_EQ(wexa->busId(), Hardware::Mdio::BusId{3});
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              configsIf->attributeOp(op(259, AttributeOp::kWrite), nullptr,
                                     list(Zef::Name("d2"), device, Hardware::XoltAccelId{0}, U32(3)));
            }),
            "busId");
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] {
              configsIf->attributeOp(op(259, AttributeOp::kWrite), nullptr,
                                     list(Zef::Name("d2"), device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{3},
                                          Hardware::Mdio::PortAddr{1}, MdioClient::clause22,
                                          Hardware::XoltAgentId{0}, U32(1)));
            }),
            "wexaDesc");
  EXPECT_FALSE(configs->wexaDesc("d2"));
}

TEST_F(GenericIfTest, EntitiesGetTheirTypesOwnInterface) {
  EXPECT_NE(dynamic_cast<PhyBcm54980ChipConfig::GenericIf_*>(chipIf.ptr()), nullptr);
  EXPECT_EQ(chipIf->objectType(), PhyBcm54980ChipConfig::_fwkType());
  EXPECT_EQ(chipIf->rawObject(), chip.ptr());
  EXPECT_EQ(chipIf->strRep(), "chip0");
  Ptr<GenericIf> copy = chipIf->copy();
  EXPECT_NE(copy.ptr(), chipIf.ptr());
  EXPECT_EQ(copy->rawObject(), chip.ptr());
  EXPECT_NE(dynamic_cast<PhyBcm54980ChipConfig::GenericIf_*>(copy.ptr()), nullptr);
}

TEST_F(GenericIfTest, AttributeIdsByName) {
  EXPECT_EQ(chipIf->attributeId("reset"), 258);
  EXPECT_EQ(chipIf->attributeId("interrupt"), 259);
  EXPECT_EQ(chipIf->attributeId("name"), 0);
  EXPECT_EQ(chipIf->attributeId("nonesuch"), -1);
  EXPECT_EQ(g(EventStat())->attributeId("doUpdate"), 6);
}

TEST_F(GenericIfTest, EveryEntityAnswersTheAttributesItInheritsByName) {
  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  for (Ptr<GenericIf> const& i : {chipIf, configsIf, g(config)}) {
    EXPECT_EQ(i->attributeId("fwkKey"), 0);
    EXPECT_EQ(i->attributeId("zeroReferences"), 5);
    EXPECT_EQ(i->attributeId("isNondestructing"), 6);
    EXPECT_EQ(i->attributeId("zefHasAttrLogInterface"), 154);
    EXPECT_EQ(read(i, 154)->strRep(), "1") << "every type of the library can go on a log";
  }
  EXPECT_EQ(read(chipIf, 0)->strRep(), "'chip0'");
  EXPECT_EQ(read(g(config), 0)->strRep(), "'p1'");
  EXPECT_EQ(read(g(config), 6)->strRep(), "0");
}

TEST_F(GenericIfTest, IsNondestructingIsWrittenThroughTheEntitysMutator) {
  phytest::Journal journal;
  auto reactor = phytest::ChipReactor::attached("A", &journal, chip);
  chipIf->attributeOp(op(6, AttributeOp::kWrite), nullptr, g(true));
  EXPECT_TRUE(chip->isNondestructing());
  EXPECT_EQ(read(chipIf, 6)->strRep(), "1");
  chipIf->attributeOp(op(6, AttributeOp::kWrite), nullptr, g(false));
  EXPECT_FALSE(chip->isNondestructing());
  EXPECT_EQ(journal.lines, phytest::lines({"A:isNondestructing", "A:isNondestructing"}));
  EXPECT_EQ(messageOf<Zef::ConstException>([&] {
              Zef::genericIfOf(chip, true)->attributeOp(op(6, AttributeOp::kWrite), nullptr, g(true));
            }),
            "attempting to modify a const instance");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              chipIf->attributeOp(op(6, AttributeOp::kWrite), nullptr, g(U32(1)));
            }),
            "isNondestructing");
  EXPECT_FALSE(chip->isNondestructing());
}

TEST_F(GenericIfTest, TheKeyIsOnlyReadAndZeroReferencesNeitherReadNorWritten) {
  auto refused = [&](Zef::AttributeId id, Zef::OpId code) {
    return messageOf<Zef::OpNotSupportedException>([&] { chipIf->attributeOp(op(id, code), nullptr, g(true)); });
  };
  EXPECT_EQ(refused(0, AttributeOp::kWrite).rfind("fwkKey", 0), 0u);
  EXPECT_EQ(refused(5, AttributeOp::kRead).rfind("zeroReferences", 0), 0u);
  EXPECT_EQ(refused(5, AttributeOp::kWrite).rfind("zeroReferences", 0), 0u);
  EXPECT_EQ(messageOf<Zef::BadIndexAttrException>([&] { read(chipIf, 0, g(Zef::Name("k"))); }), "fwkKey");
  EXPECT_EQ(chip->name(), "chip0");
}

TEST_F(GenericIfTest, CheckedCastTakesOwnAndBaseTypesOnly) {
  EXPECT_EQ(chipIf->objectAs(PhyBcm54980ChipConfig::_fwkType()), chip.ptr());
  EXPECT_EQ(chipIf->objectAs(Zef::Entity::_fwkType()), chip.ptr());
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { chipIf->objectAs(PhyBcm54980Stats::_fwkType()); }),
            "PhyBcm54980ChipConfig");
}

TEST_F(GenericIfTest, AValuesCheckedCastGivesTheHeldValue) {
  Event e;
  e.whenIs(3.0);
  Ptr<GenericIf> eventIf = g(e);
  EXPECT_NE(dynamic_cast<Event::GenericIf_*>(eventIf.ptr()), nullptr);
  auto const* held = static_cast<Event const*>(eventIf->objectAs(Event::_fwkType()));
  EXPECT_EQ(*held, e);
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { eventIf->objectAs(Count::_fwkType()); }), "Event");
  EXPECT_EQ(eventIf->rawObject(), nullptr);
  EXPECT_EQ(eventIf->copy()->strRep(), valueToStrep(e));
}

TEST_F(GenericIfTest, AValueInMemoryIsPresentedThroughItsTypeObject) {
  CountStat c;
  c.doUpdate(7, 1.5);
  Ptr<GenericIf> viaType = CountStat::_fwkType()->genericIfOfValue(&c, true);
  EXPECT_NE(dynamic_cast<CountStat::GenericIf_*>(viaType.ptr()), nullptr);
  EXPECT_TRUE(viaType->isConst());
  EXPECT_EQ(viaType->strRep(), valueToStrep(c));
  EXPECT_EQ(messageOf<Zef::ConstException>([&] {
              viaType->attributeOp(op(CountStat::countAttrId, AttributeOp::kWrite), nullptr, g(U32(1)));
            }),
            "attempting to modify a const instance");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { PhyBcm54980Stats::_fwkType()->genericIfOfValue(&c, false); }),
            "PhyBcm54980Stats");
}

TEST_F(GenericIfTest, ValuesAreReadFromTextByTheirType) {
  Ptr<GenericIf> read = EventStat::_fwkType()->genericIfFromText(
      "Value('Hardware::Phy::EventStat', ** {'current': 1, 'count': 2, 'last': 3})");
  EventStat expected;
  expected.currentIs(U1(1));
  expected.countIs(2);
  expected.lastIs(3.0);
  EXPECT_EQ(read->strRep(), valueToStrep(expected));
  EXPECT_THROW(EventStat::_fwkType()->genericIfFromText("Value("), Zef::RangeException);
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { PhyBcm54980ChipConfig::_fwkType()->genericIfFromText("x"); }),
            "PhyBcm54980ChipConfig");
}

TEST_F(GenericIfTest, ValuesAreReadFromTheAttributeLogByTheirType) {
  EventStat sent;
  sent.currentIs(U1(1));
  sent.countIs(70000);
  sent.lastIs(-2.5);
  Ptr<Zef::NboAttrLog::Out> out = Zef::NboAttrLog::Out::OutIs();
  out << sent << 7u << true << 0.5 << Zef::String8("ge1");
  Zef::NboAttrLog::In in(out->bytes());
  auto type = [](char const* name) { return Zef::ZefType::registered(Zef::Name(name)); };
  EXPECT_EQ(type("Hardware::Phy::EventStat")->genericIfFromWire(&in)->strRep(), valueToStrep(sent));
  EXPECT_EQ(g(7u)->objectType()->genericIfFromWire(&in)->strRep(), "7");
  EXPECT_EQ(g(true)->objectType()->genericIfFromWire(&in)->strRep(), g(true)->strRep());
  EXPECT_EQ(g(0.5)->objectType()->genericIfFromWire(&in)->strRep(), "0.5");
  EXPECT_EQ(g(Zef::Name("x"))->objectType()->genericIfFromWire(&in)->strRep(), g(Zef::Name("ge1"))->strRep());
  EXPECT_EQ(in.remaining(), 0u);

  // A record too short is refused and nothing of it is read.
  Zef::NboAttrLog::In shortRecord(out->bytes().first(12));
  EXPECT_THROW(type("Hardware::Phy::EventStat")->genericIfFromWire(&shortRecord), Zef::RangeException);
  EXPECT_EQ(shortRecord.offset(), 0u);
  Zef::NboAttrLog::In shortName(out->bytes().last(2));
  EXPECT_THROW(g(Zef::Name("x"))->objectType()->genericIfFromWire(&shortName), Zef::RangeException);
  EXPECT_EQ(shortName.offset(), 0u);
  // Entities travel as references, not by value.
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { PhyBcm54980Stats::_fwkType()->genericIfFromWire(&in); }),
            "PhyBcm54980Stats");
}

TEST_F(GenericIfTest, ReferencesAreReadAndWrittenAndNullClears) {
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo7");
  EXPECT_FALSE(read(chipIf, 258));
  EXPECT_FALSE(chipIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(gpo)));
  EXPECT_EQ(chip->reset().ptr(), gpo.ptr());
  Ptr<GenericIf> r = read(chipIf, 258);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rawObject(), gpo.ptr());
  chipIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, nullptr);
  EXPECT_FALSE(chip->reset());
}

TEST_F(GenericIfTest, AWriteOfTheWrongTypeNamesTheAttributeAndChangesNothing) {
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo7");
  chip->resetIs(gpo);
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              chipIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(Fru::IntCtrl::IntCtrlIs("ic")));
            }),
            "reset");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              chipIf->attributeOp(op(259, AttributeOp::kWrite), nullptr, g(Zef::String8("x")));
            }),
            "interrupt");
  EXPECT_EQ(chip->reset().ptr(), gpo.ptr());
}

TEST_F(GenericIfTest, AConstInterfaceRefusesChangesButAnswersReadsAndCounts) {
  Ptr<GenericIf> constIf = Zef::genericIfOf(configs, true);
  configs->phyConfigIs("p1", wexa, "api", "1.0");
  char const* const kMessage = "attempting to modify a const instance";
  EXPECT_EQ(messageOf<Zef::ConstException>([&] {
              constIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, list(Zef::Name("p2"), wexa,
                                                                             Zef::String8("a"), Zef::String8("b")));
            }),
            kMessage);
  EXPECT_EQ(messageOf<Zef::ConstException>([&] {
              constIf->attributeOp(op(258, AttributeOp::kDelete), g(Zef::Name("p1")), nullptr);
            }),
            kMessage);
  EXPECT_EQ(messageOf<Zef::ConstException>([&] {
              Zef::genericIfOf(chip, true)->attributeOp(op(258, AttributeOp::kWrite), nullptr, nullptr);
            }),
            kMessage);
  EXPECT_EQ(configs->phyConfigCount(), 1u);
  auto count = constIf->attributeOp(op(258, AttributeOp::kCount), nullptr, nullptr);
  EXPECT_EQ(count->strRep(), "1");
  Ptr<GenericIf> member = read(constIf, 258, g(Zef::Name("p1")));
  ASSERT_TRUE(member);
  EXPECT_TRUE(member->isConst());
}

TEST_F(GenericIfTest, ADerivedEntityReachesItsBaseTypesAttributesToo) {
  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  Ptr<GenericIf> configIf = g(config);
  EXPECT_EQ(configIf->attributeId("suppressLinkPulse"), 387);
  EXPECT_EQ(configIf->attributeId("model"), 258);
  configIf->attributeOp(op(387, AttributeOp::kWrite), nullptr, g(true));
  EXPECT_TRUE(config->suppressLinkPulse());
  configIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(Zef::String8("bcm")));
  EXPECT_EQ(config->model(), "bcm");
  EXPECT_EQ(read(configIf, 258)->strRep(), valueToStrep(Zef::String8("bcm")));
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              configIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(true));
            }),
            "model");
}

TEST_F(GenericIfTest, AKeyOnAScalarIsABadIndexNamingTheAttribute) {
  EXPECT_EQ(messageOf<Zef::BadIndexAttrException>([&] { read(chipIf, 258, g(Zef::Name("k"))); }), "reset");
  EXPECT_EQ(messageOf<Zef::BadIndexAttrException>([&] {
              configsIf->attributeOp(op(258, AttributeOp::kWrite), g(Zef::Name("k")), list(Zef::Name("p")));
            }),
            "phyConfig");
}

TEST_F(GenericIfTest, UnsupportedCodesAreRefusedNamingTheAttribute) {
  EXPECT_EQ(messageOf<Zef::OpNotSupportedException>([&] {
              chipIf->attributeOp(op(258, AttributeOp::kCount), nullptr, nullptr);
            }).rfind("reset", 0),
            0u);
  EXPECT_EQ(messageOf<Zef::OpNotSupportedException>([&] {
              configsIf->attributeOp(op(258, 0x42), nullptr, nullptr);
            }).rfind("phyConfig", 0),
            0u);
}

TEST_F(GenericIfTest, CollectionsCountCreateFindAndDelete) {
  auto args = [&](char const* name, char const* api) {
    return list(Zef::Name(name), wexa, Zef::String8(api), Zef::String8("1.0"));
  };
  Ptr<GenericIf> created = configsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, args("p1", "api"));
  ASSERT_TRUE(created);
  EXPECT_EQ(created->rawObject(), configs->phyConfig("p1").ptr());
  configsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, args("p2", "api"));
  EXPECT_EQ(configsIf->attributeOp(op(258, AttributeOp::kCount), nullptr, nullptr)->strRep(), "2");
  // Re-creation with the same parameters finds the member; other ones are refused.
  EXPECT_EQ(configsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, args("p1", "api"))->rawObject(),
            created->rawObject());
  EXPECT_THROW(configsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, args("p1", "other")),
               Zef::NameInUseException);
  EXPECT_EQ(read(configsIf, 258, g(Zef::Name("p2")))->rawObject(), configs->phyConfig("p2").ptr());
  EXPECT_FALSE(read(configsIf, 258, g(Zef::Name("absent"))));
  Ptr<GenericIf> removed = configsIf->attributeOp(op(258, AttributeOp::kDelete), g(Zef::Name("p1")), nullptr);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->strRep(), "p1");
  EXPECT_FALSE(configs->phyConfig("p1"));
  EXPECT_FALSE(configsIf->attributeOp(op(258, AttributeOp::kDelete), g(Zef::Name("p1")), nullptr));
  EXPECT_EQ(configs->phyConfigCount(), 1u);
}

TEST_F(GenericIfTest, CreationRefusalsNameTheParameterOrTheCollection) {
  auto create = [&](Ptr<GenericIf> const& args) {
    return configsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, args);
  };
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] {
              create(list(Zef::Name("p"), wexa, Zef::String8("a"), Zef::String8("b"), Zef::String8("c")));
            }),
            "phyConfig");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { create(list(Zef::Name("p"), device)); }), "wexaDesc");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { create(list(Zef::Name("p"), wexa, Zef::String8("a"))); }),
            "minBlobVersion");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { create(list(Zef::String8("p"))); }), "name");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { create(g(Zef::Name("p"))); }), "List");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { read(configsIf, 258, g(Zef::String8("p"))); }), "name");
  EXPECT_EQ(configs->phyConfigCount(), 0u);
}

TEST_F(GenericIfTest, ReferenceDirectoriesTakeTheEntityItself) {
  auto ptrs = PhyBcm54980ConfigPtrDir::PhyBcm54980ConfigPtrDirIs("ptrs");
  Ptr<GenericIf> ptrsIf = g(ptrs);
  auto member = configs->phyConfigIs("p1", wexa, "api", "1.0");
  EXPECT_FALSE(ptrsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(member)));
  EXPECT_EQ(ptrs->phyConfig("p1").ptr(), member.ptr());
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              ptrsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(chip));
            }),
            "phyConfig");
  EXPECT_EQ(ptrsIf->attributeOp(op(258, AttributeOp::kCount), nullptr, nullptr)->strRep(), "1");
  EXPECT_EQ(ptrsIf->attributeOp(op(258, AttributeOp::kDelete), g(Zef::Name("p1")), nullptr)->rawObject(),
            member.ptr());
  EXPECT_FALSE(ptrsIf->attributeOp(op(258, AttributeOp::kDelete), g(Zef::Name("p1")), nullptr));
}

TEST_F(GenericIfTest, StatisticsAreWrittenAsValues) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("s");
  Ptr<GenericIf> statsIf = g(stats);
  ConditionStat c;
  c.doUpdate(U1(1), 5.0);
  statsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(c));
  EXPECT_EQ(stats->remoteFaultState(), c);
  EXPECT_EQ(read(statsIf, 258)->strRep(), valueToStrep(c));
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              statsIf->attributeOp(op(258, AttributeOp::kWrite), nullptr, g(EventStat()));
            }),
            "remoteFaultState");
  EXPECT_EQ(stats->remoteFaultState(), c);
}

TEST_F(GenericIfTest, ValueFieldsUpdateAndDoUpdate) {
  Ptr<GenericIf> statIf = g(EventOrCountStat());
  auto* held = dynamic_cast<Zef::GenericValue<EventOrCountStat>*>(statIf.ptr());
  ASSERT_NE(held, nullptr);
  EXPECT_FALSE(statIf->attributeOp(op(EventOrCountStat::doUpdateAttrId, AttributeOp::kWrite), nullptr,
                                   list(U1(1), U32(3), 2.5)));
  EventOrCountStat expected;
  expected.doUpdate(U1(1), 3, 2.5);
  EXPECT_EQ(held->value(), expected);
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              statIf->attributeOp(op(EventOrCountStat::doUpdateAttrId, AttributeOp::kWrite), nullptr,
                                  list(U1(1), 2.0, 2.5));
            }),
            "count");
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] {
              statIf->attributeOp(op(EventOrCountStat::doUpdateAttrId, AttributeOp::kWrite), nullptr,
                                  list(U1(1), U32(3), 2.5, 1.0));
            }),
            "doUpdate");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              statIf->attributeOp(op(EventOrCountStat::doUpdateAttrId, AttributeOp::kWrite), nullptr, g(U1(1)));
            }),
            "List");
  EXPECT_EQ(held->value(), expected);

  Ptr<GenericIf> eventStat = g(EventStat());
  Event e;
  e.valueIs(U1(1));
  e.whenIs(7.0);
  eventStat->attributeOp(op(EventStat::updateAttrId, AttributeOp::kWrite), nullptr, g(e));
  EventStat viaUpdate;
  viaUpdate.updateIs(e);
  EXPECT_EQ(dynamic_cast<Zef::GenericValue<EventStat>*>(eventStat.ptr())->value(), viaUpdate);
  EXPECT_EQ(read(eventStat, EventStat::countAttrId)->strRep(), "1");
  eventStat->attributeOp(op(EventStat::countAttrId, AttributeOp::kWrite), nullptr, g(U32(9)));
  EXPECT_EQ(read(eventStat, EventStat::countAttrId)->strRep(), "9");
}

TEST_F(GenericIfTest, AFunctionIsCalledWithAnArgumentList) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("s");
  Ptr<GenericIf> statsIf = g(stats);
  EXPECT_FALSE(statsIf->attributeOp(op(PhyBcm54980Stats::doInitializeAttrId, AttributeOp::kWrite), nullptr,
                                    list()));
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] {
              statsIf->attributeOp(op(PhyBcm54980Stats::doInitializeAttrId, AttributeOp::kWrite), nullptr,
                                   list(U32(1)));
            }),
            "doInitialize");
}

TEST_F(GenericIfTest, AnInstantiatingChildIsCreatedReadAndDeleted) {
  Ptr<Hardware::Phy::PhyConfig> config = Hardware::Phy::PhyConfig::PhyConfigIs("port1", wexa, "api", "1");
  Ptr<Interface::EthPhyIntfStatus> intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  auto status = PhyBcm54980Status::PhyBcm54980StatusIs("port1", Hardware::Phy::mdioClause45, config, intf);
  Ptr<GenericIf> statusIf = g(status);
  Zef::AttributeId const id = PhyBcm54980Status::bcmStatsAttrId;
  EXPECT_EQ(statusIf->attributeId("bcmStats"), id);
  EXPECT_FALSE(read(statusIf, id));
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] {
              statusIf->attributeOp(op(id, AttributeOp::kWrite), nullptr, list(Zef::Name("s"), Zef::Name("t")));
            }),
            "bcmStats");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              statusIf->attributeOp(op(id, AttributeOp::kWrite), nullptr, list(U32(1)));
            }),
            "name");
  EXPECT_EQ(messageOf<Zef::BadIndexAttrException>([&] { read(statusIf, id, g(Zef::Name("s"))); }), "bcmStats");
  EXPECT_FALSE(status->bcmStats());
  Ptr<GenericIf> made = statusIf->attributeOp(op(id, AttributeOp::kWrite), nullptr, list(Zef::Name("s")));
  ASSERT_TRUE(made);
  EXPECT_EQ(made->rawObject(), status->bcmStats().ptr());
  EXPECT_EQ(read(statusIf, id)->rawObject(), status->bcmStats().ptr());
  Ptr<GenericIf> removed = statusIf->attributeOp(op(id, AttributeOp::kDelete), nullptr, nullptr);
  EXPECT_EQ(removed->rawObject(), made->rawObject());
  EXPECT_FALSE(status->bcmStats());
}

TEST_F(GenericIfTest, GenericConstructorsOfFactoryTypes) {
  auto* t = PhyBcm54980StatusPtrDir::_fwkType();
  Ptr<GenericIf> made = t->genericIf(list(Zef::Name("sp")).ptr(), false);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->strRep(), "sp");
  EXPECT_NE(dynamic_cast<PhyBcm54980StatusPtrDir*>(made->rawObject()), nullptr);
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] {
              t->genericIf(list(Zef::Name("sp"), Zef::Name("extra")).ptr(), false);
            }),
            "PhyBcm54980StatusPtrDir");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { t->genericIf(list().ptr(), false); }), "name");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { t->genericIf(list(U32(1)).ptr(), false); }), "name");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { t->genericIf(g(Zef::Name("x")).ptr(), false); }), "List");
  EXPECT_NE(dynamic_cast<PhyBcm54980Stats*>(
                PhyBcm54980Stats::_fwkType()->genericIf(list(Zef::Name("st")).ptr(), false)->rawObject()),
            nullptr);
}

TEST_F(GenericIfTest, ADirectoryIsConstructedByTypeNameThroughTheOtherGenericIf) {
  Zef::ZefType const* t = Zef::ZefType::registered("Hardware::Phy::PhyBcm54980ChipConfigDir");
  ASSERT_NE(t, nullptr);
  Ptr<GenericIf> dirIf = t->genericIf(list(Zef::Name("chips2")).ptr(), false);
  ASSERT_TRUE(dirIf);
  EXPECT_NE(dynamic_cast<PhyBcm54980ChipConfigDir::GenericIf_*>(dirIf.ptr()), nullptr);
  auto* dir = dynamic_cast<PhyBcm54980ChipConfigDir*>(dirIf->rawObject());
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->name(), "chips2");
  dirIf->attributeOp(op(dirIf->attributeId("phyChipConfig"), AttributeOp::kWrite), nullptr, list(Zef::Name("c1")));
  EXPECT_TRUE(dir->phyChipConfig("c1"));
  // The overload on an object presents the same directory.
  Ptr<GenericIf> again = t->genericIf(static_cast<Zef::PtrInterface*>(dir), true);
  EXPECT_TRUE(again->isConst());
  EXPECT_EQ(again->rawObject(), dir);
}

TEST_F(GenericIfTest, GenericConstructorsOfValuesTakeFieldsInOrder) {
  Ptr<GenericIf> made = Event::_fwkType()->genericIf(list(U1(1), 4.5).ptr(), false);
  Event expected;
  expected.valueIs(U1(1));
  expected.whenIs(4.5);
  EXPECT_EQ(made->strRep(), valueToStrep(expected));
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { Event::_fwkType()->genericIf(list(4.5).ptr(), false); }),
            "value");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { Event::_fwkType()->genericIf(list(U1(1)).ptr(), false); }),
            "when");
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] {
              Event::_fwkType()->genericIf(list(U1(1), 4.5, 1.0).ptr(), false);
            }),
            "Event");
}

TEST_F(GenericIfTest, TypesWithoutAGenericConstructorRefuse) {
  EXPECT_EQ(messageOf<Zef::TypeException>([&] {
              PhyBcm54980ChipConfig::_fwkType()->genericIf(list(Zef::Name("c")).ptr(), false);
            }),
            "PhyBcm54980ChipConfig");
}

// An interface that records the changes it is told of: an attribute's id,
// or id:key for a member of a collection.
template <class E>
class RecordingIf : public E::GenericIf_ {
 public:
  explicit RecordingIf(Ptr<E> const& e) : E::GenericIf_(e, false) {}
  static Ptr<RecordingIf> on(Ptr<E> const& e) { return Ptr<RecordingIf>(new RecordingIf(e), Zef::adoptRef); }
  void onAttribute(Zef::AttributeId id) override { heard.push_back(std::to_string(id)); }
  void onCollectionAttribute(Zef::AttributeId id, Zef::Name const& key) override {
    heard.push_back(std::to_string(id) + ":" + key.str());
  }
  std::vector<std::string> heard;
};

using Heard = std::vector<std::string>;

TEST_F(GenericIfTest, TheAdapterTellsTheInterfaceOfEachChangeWhileItLives) {
  auto chipRec = RecordingIf<PhyBcm54980ChipConfig>::on(chip);
  auto dirRec = RecordingIf<PhyBcm54980ConfigDir>::on(configs);
  chip->resetIs(Fru::Gpo::GpoIs("g"));
  chip->interruptIs(Fru::IntCtrl::IntCtrlIs("i"));
  chip->interruptIs(chip->interrupt());  // unchanged: no notification
  configs->phyConfigIs("p1", wexa, "api", "1.0");
  configs->phyConfigDel("p1");
  EXPECT_EQ(chipRec->heard, (Heard{"258", "259"}));
  EXPECT_EQ(dirRec->heard, (Heard{"258:p1", "258:p1"}));
  auto const before = chip->zefNotifieeList().memberCount();
  chipRec = nullptr;
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), before - 1);
  chip->resetIs(nullptr);  // the adapter is gone from the list: nothing dangles
}

TEST_F(GenericIfTest, ADerivedEntitysAdapterPassesOnItsBaseTypesAttributesToo) {
  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  auto configRec = RecordingIf<PhyBcm54980Config>::on(config);
  config->modelIs("bcm");                // PhyConfig's
  config->linkStatePollIntervalIs(2.0);  // PhyConfig's
  config->suppressLinkPulseIs(true);     // its own
  EXPECT_EQ(configRec->heard, (Heard{"258", "265", "387"}));

  Ptr<Interface::EthPhyIntfStatus> intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  auto status = PhyBcm54980Status::PhyBcm54980StatusIs("port1", Hardware::Phy::mdioClause45, config, intf);
  auto statusRec = RecordingIf<PhyBcm54980Status>::on(status);
  status->linkUpIs(true);  // PhyStatus's
  status->bcmStatsIs("s");
  EXPECT_EQ(statusRec->heard, (Heard{"260", "386"}));
}

TEST_F(GenericIfTest, ADeferredChangeIsReplayedAloneWhenDeferringEnds) {
  auto chipRec = RecordingIf<PhyBcm54980ChipConfig>::on(chip);
  auto& adapter = *chipRec->adapter();
  adapter.isDeferringIs(true);
  chip->resetIs(Fru::Gpo::GpoIs("g"));
  chip->resetIs(nullptr);
  EXPECT_TRUE(chipRec->heard.empty());
  EXPECT_EQ(adapter.pendingAttributeId(), 258);
  adapter.isDeferringIs(false);
  EXPECT_EQ(chipRec->heard, (Heard{"258"}));
  EXPECT_EQ(adapter.pendingAttributeId(), 0);
  chip->interruptIs(Fru::IntCtrl::IntCtrlIs("i"));
  EXPECT_EQ(chipRec->heard, (Heard{"258", "259"}));
}

TEST_F(GenericIfTest, ChangesOfSeveralAttributesReplayEveryAttributeInIdOrder) {
  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  auto configRec = RecordingIf<PhyBcm54980Config>::on(config);
  configRec->adapter()->isDeferringIs(true);
  config->suppressLinkPulseIs(true);
  config->modelIs("bcm");
  EXPECT_EQ(configRec->adapter()->pendingAttributeId(), Zef::PtrInterface::NotifieeConst::kReplayAll);
  configRec->adapter()->isDeferringIs(false);
  // The base type's attributes from 258, then its own from 386 to 401.
  ASSERT_FALSE(configRec->heard.empty());
  EXPECT_EQ(configRec->heard.front(), "258");
  EXPECT_EQ(configRec->heard.back(), "401");
  std::vector<int> ids;
  for (auto const& h : configRec->heard) ids.push_back(std::stoi(h));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 387), 1);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 386), 1);
}

TEST_F(GenericIfTest, ADeferredCollectionChangeIsReplayedForItsKeyOrForTheWholeCollection) {
  auto dirRec = RecordingIf<PhyBcm54980ConfigDir>::on(configs);
  auto& adapter = *dirRec->adapter();
  adapter.isDeferringIs(true);
  configs->phyConfigIs("p1", wexa, "api", "1.0");
  EXPECT_EQ(adapter.zefKeyForPhyConfig(), "p1");
  adapter.isDeferringIs(false);
  EXPECT_EQ(dirRec->heard, (Heard{"258:p1"}));

  adapter.isDeferringIs(true);
  configs->phyConfigIs("p2", wexa, "api", "1.0");
  configs->phyConfigDel("p1");
  adapter.isDeferringIs(false);
  EXPECT_EQ(dirRec->heard, (Heard{"258:p1", "258"}));
  EXPECT_EQ(adapter.pendingCountForPhyConfig, 0);

  // Everything, each collection whole, as the runtime may ask after it lost
  // track; an id that is not the type's is left to the runtime.
  adapter.pendingAttributeIdIs(Zef::PtrInterface::NotifieeConst::kReplayAllWhole);
  adapter.handleNotification(nullptr);
  EXPECT_EQ(dirRec->heard, (Heard{"258:p1", "258", "258", "259"}));
  adapter.pendingAttributeIdIs(300);
  adapter.handleNotification(nullptr);
  EXPECT_EQ(dirRec->heard.size(), 4u);
  EXPECT_EQ(adapter.pendingAttributeId(), 0);
}

}  // namespace
