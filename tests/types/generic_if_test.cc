// Access by attribute name: reads, writes, counts, creation and deletion
// through generic interfaces, and every refusal with its message.
#include "runtime/types/generic_if.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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
using Op = Zef::AttributeOp;
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

using If = Ptr<GenericIf>;
using Key = Ptr<GenericIf const>;
using Id = Zef::AttributeId;
If apply(If const& i, Zef::OpId code, Id id, Key const& key, If const& value) {
  return i->attributeOp(Op{id, code}, key, value);
}
If read(If const& i, Id id, Key const& k = nullptr) { return apply(i, Op::kRead, id, k, nullptr); }
If write(If const& i, Id id, If const& v) { return apply(i, Op::kWrite, id, nullptr, v); }
If count(If const& i, Id id) { return apply(i, Op::kCount, id, nullptr, nullptr); }
If del(If const& i, Id id, Key const& k = nullptr) { return apply(i, Op::kDelete, id, k, nullptr); }

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

struct Refusal {
  std::function<void()> call;
  std::string message;
};

// Each call throws E with the message, or, for a prefix, one starting with it.
template <class E>
void expectRefused(std::vector<Refusal> const& cases, bool prefix = false) {
  for (Refusal const& r : cases) {
    std::string const m = messageOf<E>(r.call);
    EXPECT_EQ(prefix ? m.substr(0, r.message.size()) : m, r.message) << m;
  }
}

char const* const kConst = "attempting to modify a const instance";

class GenericIfTest : public ::testing::Test {
 protected:
  // The directories' own factories; the descriptor made by name through the
  // seven-parameter collection.
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");
  Ptr<PhyBcm54980ConfigDir> configs = phyBcm54980ConfigDirFactory("config");
  Ptr<GenericIf> configsIf = g(configs);
  Ptr<MdioWexa::WexaDesc> wexa = Ptr<MdioWexa::WexaDesc>(dynamic_cast<MdioWexa::WexaDesc*>(
      write(configsIf, 259,
            list(Zef::Name("d1"), device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{3},
                 Hardware::Mdio::PortAddr{1}, MdioClient::clause22, Hardware::XoltAgentId{0}))
          ->rawObject()));
  Ptr<PhyBcm54980ChipConfig> chip = phyBcm54980ChipConfigDirFactory("chips")->phyChipConfigIs("chip0");
  Ptr<GenericIf> chipIf = g(chip);
};

TEST_F(GenericIfTest, EntitiesGetTheirTypesOwnInterfaceAndCastToOwnAndBaseTypesOnly) {
  EXPECT_NE(dynamic_cast<PhyBcm54980ChipConfig::GenericIf_*>(chipIf.ptr()), nullptr);
  EXPECT_EQ(chipIf->objectType(), PhyBcm54980ChipConfig::_fwkType());
  EXPECT_EQ(chipIf->rawObject(), chip.ptr());
  EXPECT_EQ(chipIf->strRep(), "chip0");
  Ptr<GenericIf> copy = chipIf->copy();
  EXPECT_NE(copy.ptr(), chipIf.ptr());
  EXPECT_EQ(copy->rawObject(), chip.ptr());
  EXPECT_NE(dynamic_cast<PhyBcm54980ChipConfig::GenericIf_*>(copy.ptr()), nullptr);
  EXPECT_EQ(chipIf->objectAs(PhyBcm54980ChipConfig::_fwkType()), chip.ptr());
  EXPECT_EQ(chipIf->objectAs(Zef::Entity::_fwkType()), chip.ptr());
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { chipIf->objectAs(PhyBcm54980Stats::_fwkType()); }),
            "PhyBcm54980ChipConfig");
}

TEST_F(GenericIfTest, AValueIsHeldByItsInterfaceOrPresentedInPlaceThroughItsType) {
  Event e;
  e.whenIs(3.0);
  Ptr<GenericIf> eventIf = g(e);
  EXPECT_NE(dynamic_cast<Event::GenericIf_*>(eventIf.ptr()), nullptr);
  EXPECT_EQ(*static_cast<Event const*>(eventIf->objectAs(Event::_fwkType())), e);
  EXPECT_EQ(eventIf->rawObject(), nullptr);
  EXPECT_EQ(eventIf->copy()->strRep(), valueToStrep(e));

  CountStat c;
  c.doUpdate(7, 1.5);
  Ptr<GenericIf> viaType = CountStat::_fwkType()->genericIfOfValue(&c, true);
  EXPECT_NE(dynamic_cast<CountStat::GenericIf_*>(viaType.ptr()), nullptr);
  EXPECT_TRUE(viaType->isConst());
  EXPECT_EQ(viaType->strRep(), valueToStrep(c));
  EXPECT_EQ(messageOf<Zef::ConstException>([&] { write(viaType, CountStat::countAttrId, g(U32(1))); }), kConst);
  expectRefused<Zef::TypeException>({
      {[&] { eventIf->objectAs(Count::_fwkType()); }, "Event"},
      {[&] { PhyBcm54980Stats::_fwkType()->genericIfOfValue(&c, false); }, "PhyBcm54980Stats"},
  });
}

TEST_F(GenericIfTest, AttributesAreFoundByNameIncludingInheritedOnes) {
  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  Ptr<GenericIf> configIf = g(config);
  EXPECT_EQ(chipIf->attributeId("reset"), 258);
  EXPECT_EQ(chipIf->attributeId("interrupt"), 259);
  EXPECT_EQ(chipIf->attributeId("name"), 0);
  EXPECT_EQ(chipIf->attributeId("nonesuch"), -1);
  EXPECT_EQ(g(EventStat())->attributeId("doUpdate"), 6);
  EXPECT_EQ(configIf->attributeId("model"), 258);  // the base type's
  EXPECT_EQ(configIf->attributeId("suppressLinkPulse"), 387);
  for (Ptr<GenericIf> const& i : {chipIf, configsIf, configIf}) {
    EXPECT_EQ(i->attributeId("fwkKey"), 0);
    EXPECT_EQ(i->attributeId("zeroReferences"), 5);
    EXPECT_EQ(i->attributeId("isNondestructing"), 6);
    EXPECT_EQ(i->attributeId("zefHasAttrLogInterface"), 154);
    EXPECT_EQ(read(i, 154)->strRep(), "1") << "every type of the library can go on a log";
  }
  EXPECT_EQ(read(chipIf, 0)->strRep(), "'chip0'");
  EXPECT_EQ(read(configIf, 0)->strRep(), "'p1'");
  EXPECT_EQ(read(configIf, 6)->strRep(), "0");
}

TEST_F(GenericIfTest, ScalarsAndReferencesAreWrittenThroughTheMutatorsAndNullClears) {
  phytest::Journal journal;
  auto reactor = phytest::ChipReactor::attached("A", &journal, chip);
  write(chipIf, 6, g(true));
  EXPECT_TRUE(chip->isNondestructing());
  EXPECT_EQ(read(chipIf, 6)->strRep(), "1");
  write(chipIf, 6, g(false));
  EXPECT_FALSE(chip->isNondestructing());
  EXPECT_EQ(journal.lines, phytest::lines({"A:isNondestructing", "A:isNondestructing"}));

  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo7");
  EXPECT_FALSE(read(chipIf, 258));
  EXPECT_FALSE(write(chipIf, 258, g(gpo)));
  EXPECT_EQ(chip->reset().ptr(), gpo.ptr());
  ASSERT_TRUE(read(chipIf, 258));
  EXPECT_EQ(read(chipIf, 258)->rawObject(), gpo.ptr());

  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  Ptr<GenericIf> configIf = g(config);
  write(configIf, 387, g(true));
  EXPECT_TRUE(config->suppressLinkPulse());
  write(configIf, 258, g(Zef::String8("bcm")));  // the base type's
  EXPECT_EQ(config->model(), "bcm");
  EXPECT_EQ(read(configIf, 258)->strRep(), valueToStrep(Zef::String8("bcm")));

  // A write of the wrong type names the attribute and changes nothing.
  expectRefused<Zef::TypeException>({
      {[&] { write(chipIf, 258, g(Fru::IntCtrl::IntCtrlIs("ic"))); }, "reset"},
      {[&] { write(chipIf, 259, g(Zef::String8("x"))); }, "interrupt"},
      {[&] { write(configIf, 258, g(true)); }, "model"},
      {[&] { write(chipIf, 6, g(U32(1))); }, "isNondestructing"},
  });
  EXPECT_FALSE(chip->isNondestructing());
  EXPECT_EQ(chip->reset().ptr(), gpo.ptr());
  EXPECT_EQ(config->model(), "bcm");
  write(chipIf, 258, nullptr);
  EXPECT_FALSE(chip->reset());
}

TEST_F(GenericIfTest, RefusedOperationsNameTheAttributeAndConstInterfacesOnlyRead) {
  // The key is only read; zeroReferences is neither read nor written; only
  // collections count; unknown codes are refused.
  expectRefused<Zef::OpNotSupportedException>(
      {
          {[&] { write(chipIf, 0, g(true)); }, "fwkKey"},
          {[&] { apply(chipIf, Op::kRead, 5, nullptr, g(true)); }, "zeroReferences"},
          {[&] { write(chipIf, 5, g(true)); }, "zeroReferences"},
          {[&] { count(chipIf, 258); }, "reset"},
          {[&] { apply(configsIf, 0x42, 258, nullptr, nullptr); }, "phyConfig"},
      },
      true);
  // A key on a scalar is a bad index.
  expectRefused<Zef::BadIndexAttrException>({
      {[&] { read(chipIf, 0, g(Zef::Name("k"))); }, "fwkKey"},
      {[&] { read(chipIf, 258, g(Zef::Name("k"))); }, "reset"},
      {[&] { apply(configsIf, Op::kWrite, 258, g(Zef::Name("k")), list(Zef::Name("p"))); }, "phyConfig"},
  });
  EXPECT_EQ(chip->name(), "chip0");
  EXPECT_EQ(configs->phyConfigCount(), 0u);

  // A const interface refuses changes but answers reads and counts.
  Ptr<GenericIf> constIf = Zef::genericIfOf(configs, true);
  Ptr<GenericIf> constChip = Zef::genericIfOf(chip, true);
  configs->phyConfigIs("p1", wexa, "api", "1.0");
  expectRefused<Zef::ConstException>({
      {[&] { write(constIf, 258, list(Zef::Name("p2"), wexa, Zef::String8("a"), Zef::String8("b"))); }, kConst},
      {[&] { del(constIf, 258, g(Zef::Name("p1"))); }, kConst},
      {[&] { write(constChip, 258, nullptr); }, kConst},
      {[&] { write(constChip, 6, g(true)); }, kConst},
  });
  EXPECT_EQ(configs->phyConfigCount(), 1u);
  EXPECT_FALSE(chip->isNondestructing());
  EXPECT_EQ(count(constIf, 258)->strRep(), "1");
  Ptr<GenericIf> member = read(constIf, 258, g(Zef::Name("p1")));
  ASSERT_TRUE(member);
  EXPECT_TRUE(member->isConst());
}

TEST_F(GenericIfTest, ValuesAreReadFromTextOrTheAttributeLogByTheirType) {
  EventStat sent;
  sent.currentIs(U1(1));
  sent.countIs(70000);
  sent.lastIs(-3.0);
  EXPECT_EQ(EventStat::_fwkType()
                ->genericIfFromText("Value('Hardware::Phy::EventStat', ** {'current': 1, 'count': 70000, 'last': -3})")
                ->strRep(),
            valueToStrep(sent));
  EXPECT_THROW(EventStat::_fwkType()->genericIfFromText("Value("), Zef::RangeException);

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
  // Entities travel as references, not by value, and have no text form.
  expectRefused<Zef::TypeException>({
      {[&] { PhyBcm54980Stats::_fwkType()->genericIfFromWire(&in); }, "PhyBcm54980Stats"},
      {[&] { PhyBcm54980ChipConfig::_fwkType()->genericIfFromText("x"); }, "PhyBcm54980ChipConfig"},
  });
}

TEST_F(GenericIfTest, CollectionsCountCreateFindAndDeleteAndRefusalsNameTheParameter) {
  ASSERT_TRUE(wexa);  // made by the seven-parameter collection
  EXPECT_EQ(configs->wexaDesc("d1").ptr(), wexa.ptr());
  EXPECT_EQ(wexa->busId(), Hardware::Mdio::BusId{3});

  auto args = [&](char const* name, char const* api) {
    return list(Zef::Name(name), wexa, Zef::String8(api), Zef::String8("1.0"));
  };
  auto create = [&](Ptr<GenericIf> const& args) { return write(configsIf, 258, args); };
  // Refusals name the parameter or the collection, and create nothing.
  expectRefused<Zef::UnknownArgException>({
      {[&] { create(list(Zef::Name("p"), wexa, Zef::String8("a"), Zef::String8("b"), Zef::String8("c"))); },
       "phyConfig"},
      {[&] {
         write(configsIf, 259,
               list(Zef::Name("d2"), device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{3},
                    Hardware::Mdio::PortAddr{1}, MdioClient::clause22, Hardware::XoltAgentId{0}, U32(1)));
       },
       "wexaDesc"},
  });
  expectRefused<Zef::TypeException>({
      {[&] { create(list(Zef::Name("p"), device)); }, "wexaDesc"},
      {[&] { create(list(Zef::Name("p"), wexa, Zef::String8("a"))); }, "minBlobVersion"},
      {[&] { create(list(Zef::String8("p"))); }, "name"},
      {[&] { create(g(Zef::Name("p"))); }, "List"},
      {[&] { read(configsIf, 258, g(Zef::String8("p"))); }, "name"},
      {[&] { write(configsIf, 259, list(Zef::Name("d2"), device, Hardware::XoltAccelId{0}, U32(3))); }, "busId"},
  });
  EXPECT_FALSE(configs->wexaDesc("d2"));
  EXPECT_EQ(configs->phyConfigCount(), 0u);

  Ptr<GenericIf> created = create(args("p1", "api"));
  ASSERT_TRUE(created);
  EXPECT_EQ(created->rawObject(), configs->phyConfig("p1").ptr());
  write(configsIf, 258, args("p2", "api"));
  EXPECT_EQ(count(configsIf, 258)->strRep(), "2");
  // Re-creation with the same parameters finds the member; other ones are refused.
  EXPECT_EQ(write(configsIf, 258, args("p1", "api"))->rawObject(), created->rawObject());
  EXPECT_THROW(write(configsIf, 258, args("p1", "other")), Zef::NameInUseException);
  EXPECT_EQ(read(configsIf, 258, g(Zef::Name("p2")))->rawObject(), configs->phyConfig("p2").ptr());
  EXPECT_FALSE(read(configsIf, 258, g(Zef::Name("absent"))));
  Ptr<GenericIf> removed = del(configsIf, 258, g(Zef::Name("p1")));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->strRep(), "p1");
  EXPECT_FALSE(configs->phyConfig("p1"));
  EXPECT_FALSE(del(configsIf, 258, g(Zef::Name("p1"))));
  EXPECT_EQ(configs->phyConfigCount(), 1u);

  // A reference directory takes the entity itself.
  auto ptrs = PhyBcm54980ConfigPtrDir::PhyBcm54980ConfigPtrDirIs("ptrs");
  Ptr<GenericIf> ptrsIf = g(ptrs);
  auto member = configs->phyConfig("p2");
  EXPECT_FALSE(write(ptrsIf, 258, g(member)));
  EXPECT_EQ(ptrs->phyConfig("p2").ptr(), member.ptr());
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { write(ptrsIf, 258, g(chip)); }), "phyConfig");
  EXPECT_EQ(count(ptrsIf, 258)->strRep(), "1");
  EXPECT_EQ(del(ptrsIf, 258, g(Zef::Name("p2")))->rawObject(), member.ptr());
  EXPECT_FALSE(del(ptrsIf, 258, g(Zef::Name("p2"))));
}

TEST_F(GenericIfTest, ValuesAreConstructedFieldByFieldAndUpdatedThroughTheirFunctions) {
  Event e;
  e.valueIs(U1(1));
  e.whenIs(7.0);
  auto* t = Event::_fwkType();
  EXPECT_EQ(t->genericIf(list(U1(1), 7.0).ptr(), false)->strRep(), valueToStrep(e));
  expectRefused<Zef::TypeException>({
      {[&] { t->genericIf(list(7.0).ptr(), false); }, "value"},
      {[&] { t->genericIf(list(U1(1)).ptr(), false); }, "when"},
  });
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] { t->genericIf(list(U1(1), 7.0, 1.0).ptr(), false); }), "Event");

  Ptr<GenericIf> statIf = g(EventOrCountStat());
  auto* held = dynamic_cast<Zef::GenericValue<EventOrCountStat>*>(statIf.ptr());
  ASSERT_NE(held, nullptr);
  Zef::AttributeId const doUpdate = EventOrCountStat::doUpdateAttrId;
  EXPECT_FALSE(write(statIf, doUpdate, list(U1(1), U32(3), 2.5)));
  EventOrCountStat expected;
  expected.doUpdate(U1(1), 3, 2.5);
  EXPECT_EQ(held->value(), expected);
  expectRefused<Zef::TypeException>({
      {[&] { write(statIf, doUpdate, list(U1(1), 2.0, 2.5)); }, "count"},
      {[&] { write(statIf, doUpdate, g(U1(1))); }, "List"},
  });
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] { write(statIf, doUpdate, list(U1(1), U32(3), 2.5, 1.0)); }),
            "doUpdate");
  EXPECT_EQ(held->value(), expected);

  Ptr<GenericIf> eventStat = g(EventStat());
  write(eventStat, EventStat::updateAttrId, g(e));
  EventStat viaUpdate;
  viaUpdate.updateIs(e);
  EXPECT_EQ(dynamic_cast<Zef::GenericValue<EventStat>*>(eventStat.ptr())->value(), viaUpdate);
  EXPECT_EQ(read(eventStat, EventStat::countAttrId)->strRep(), "1");
  write(eventStat, EventStat::countAttrId, g(U32(9)));
  EXPECT_EQ(read(eventStat, EventStat::countAttrId)->strRep(), "9");
}

TEST_F(GenericIfTest, AnInstantiatingChildIsCreatedUsedAndDeleted) {
  Ptr<Hardware::Phy::PhyConfig> config = Hardware::Phy::PhyConfig::PhyConfigIs("port1", wexa, "api", "1");
  Ptr<Interface::EthPhyIntfStatus> intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  auto status = PhyBcm54980Status::PhyBcm54980StatusIs("port1", Hardware::Phy::mdioClause45, config, intf);
  Ptr<GenericIf> statusIf = g(status);
  Zef::AttributeId const id = PhyBcm54980Status::bcmStatsAttrId;
  EXPECT_EQ(statusIf->attributeId("bcmStats"), id);
  EXPECT_FALSE(read(statusIf, id));
  EXPECT_EQ(messageOf<Zef::UnknownArgException>([&] { write(statusIf, id, list(Zef::Name("s"), Zef::Name("t"))); }),
            "bcmStats");
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { write(statusIf, id, list(U32(1))); }), "name");
  EXPECT_EQ(messageOf<Zef::BadIndexAttrException>([&] { read(statusIf, id, g(Zef::Name("s"))); }), "bcmStats");
  EXPECT_FALSE(status->bcmStats());
  Ptr<GenericIf> made = write(statusIf, id, list(Zef::Name("s")));
  ASSERT_TRUE(made);
  EXPECT_EQ(made->rawObject(), status->bcmStats().ptr());
  EXPECT_EQ(read(statusIf, id)->rawObject(), status->bcmStats().ptr());

  // Its statistics are written as values, its functions called with argument lists.
  auto stats = status->bcmStats();
  Ptr<GenericIf> statsIf = g(stats);
  ConditionStat c;
  c.doUpdate(U1(1), 5.0);
  write(statsIf, 258, g(c));
  EXPECT_EQ(stats->remoteFaultState(), c);
  EXPECT_EQ(read(statsIf, 258)->strRep(), valueToStrep(c));
  EXPECT_EQ(messageOf<Zef::TypeException>([&] { write(statsIf, 258, g(EventStat())); }), "remoteFaultState");
  EXPECT_EQ(stats->remoteFaultState(), c);
  EXPECT_FALSE(write(statsIf, PhyBcm54980Stats::doInitializeAttrId, list()));
  EXPECT_EQ(messageOf<Zef::UnknownArgException>(
                [&] { write(statsIf, PhyBcm54980Stats::doInitializeAttrId, list(U32(1))); }),
            "doInitialize");
  EXPECT_EQ(del(statusIf, id)->rawObject(), made->rawObject());
  EXPECT_FALSE(status->bcmStats());
}

TEST_F(GenericIfTest, EntitiesAreConstructedByTypeName) {
  Zef::ZefType const* t = Zef::ZefType::registered("Hardware::Phy::PhyBcm54980ChipConfigDir");
  ASSERT_NE(t, nullptr);
  Ptr<GenericIf> dirIf = t->genericIf(list(Zef::Name("chips2")).ptr(), false);
  ASSERT_TRUE(dirIf);
  EXPECT_NE(dynamic_cast<PhyBcm54980ChipConfigDir::GenericIf_*>(dirIf.ptr()), nullptr);
  auto* dir = dynamic_cast<PhyBcm54980ChipConfigDir*>(dirIf->rawObject());
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->name(), "chips2");
  write(dirIf, dirIf->attributeId("phyChipConfig"), list(Zef::Name("c1")));
  EXPECT_TRUE(dir->phyChipConfig("c1"));
  // The overload on an object presents the same directory.
  Ptr<GenericIf> again = t->genericIf(static_cast<Zef::PtrInterface*>(dir), true);
  EXPECT_TRUE(again->isConst());
  EXPECT_EQ(again->rawObject(), dir);
  EXPECT_NE(dynamic_cast<PhyBcm54980Stats*>(
                PhyBcm54980Stats::_fwkType()->genericIf(list(Zef::Name("st")).ptr(), false)->rawObject()),
            nullptr);

  auto* ptrDir = PhyBcm54980StatusPtrDir::_fwkType();
  Ptr<GenericIf> made = ptrDir->genericIf(list(Zef::Name("sp")).ptr(), false);
  EXPECT_EQ(made->strRep(), "sp");
  EXPECT_NE(dynamic_cast<PhyBcm54980StatusPtrDir*>(made->rawObject()), nullptr);
  EXPECT_EQ(messageOf<Zef::UnknownArgException>(
                [&] { ptrDir->genericIf(list(Zef::Name("sp"), Zef::Name("extra")).ptr(), false); }),
            "PhyBcm54980StatusPtrDir");
  expectRefused<Zef::TypeException>({
      {[&] { ptrDir->genericIf(list().ptr(), false); }, "name"},
      {[&] { ptrDir->genericIf(list(U32(1)).ptr(), false); }, "name"},
      {[&] { ptrDir->genericIf(g(Zef::Name("x")).ptr(), false); }, "List"},
      // A type without a generic constructor.
      {[&] { PhyBcm54980ChipConfig::_fwkType()->genericIf(list(Zef::Name("c")).ptr(), false); },
       "PhyBcm54980ChipConfig"},
  });
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

TEST_F(GenericIfTest, TheAdapterTellsTheInterfaceOfEachChangeIncludingBaseTypesOnesWhileItLives) {
  auto chipRec = RecordingIf<PhyBcm54980ChipConfig>::on(chip);
  auto dirRec = RecordingIf<PhyBcm54980ConfigDir>::on(configs);
  chip->resetIs(Fru::Gpo::GpoIs("g"));
  chip->interruptIs(Fru::IntCtrl::IntCtrlIs("i"));
  chip->interruptIs(chip->interrupt());  // unchanged: no notification
  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  auto configRec = RecordingIf<PhyBcm54980Config>::on(config);
  config->modelIs("bcm");                // PhyConfig's
  config->linkStatePollIntervalIs(2.0);  // PhyConfig's
  config->suppressLinkPulseIs(true);     // its own
  configs->phyConfigDel("p1");
  EXPECT_EQ(chipRec->heard, (Heard{"258", "259"}));
  EXPECT_EQ(dirRec->heard, (Heard{"258:p1", "258:p1"}));
  EXPECT_EQ(configRec->heard, (Heard{"258", "265", "387"}));

  Ptr<Interface::EthPhyIntfStatus> intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  auto status = PhyBcm54980Status::PhyBcm54980StatusIs("port1", Hardware::Phy::mdioClause45, config, intf);
  auto statusRec = RecordingIf<PhyBcm54980Status>::on(status);
  status->linkUpIs(true);  // PhyStatus's
  status->bcmStatsIs("s");
  EXPECT_EQ(statusRec->heard, (Heard{"260", "386"}));

  auto const before = chip->zefNotifieeList().memberCount();
  chipRec = nullptr;
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), before - 1);
  chip->resetIs(nullptr);  // the adapter is gone from the list: nothing dangles
}

TEST_F(GenericIfTest, ADeferredChangeIsReplayedAloneAndChangesOfSeveralEveryAttributeInIdOrder) {
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

  auto config = configs->phyConfigIs("p1", wexa, "api", "1.0");
  auto configRec = RecordingIf<PhyBcm54980Config>::on(config);
  configRec->adapter()->isDeferringIs(true);
  config->suppressLinkPulseIs(true);
  config->modelIs("bcm");
  EXPECT_EQ(configRec->adapter()->pendingAttributeId(), Zef::PtrInterface::NotifieeConst::kReplayAll);
  configRec->adapter()->isDeferringIs(false);
  // The base type's attributes from 258, then its own from 386 to 401, each once.
  std::vector<int> ids;
  for (auto const& h : configRec->heard) ids.push_back(std::stoi(h));
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.front(), 258);
  EXPECT_EQ(ids.back(), 401);
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()), ids.end());
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
