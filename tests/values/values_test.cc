// Observation values and statistics as plain records: defaults, field-wise
// equality, attribute ids and type objects.
#include <gtest/gtest.h>

#include <limits>
#include <type_traits>

#include "values/value_testing.h"

namespace {

using namespace phytest;

template <class V>
class EveryValueTest : public ::testing::Test {};
TYPED_TEST_SUITE(EveryValueTest, AllValues);

TYPED_TEST(EveryValueTest, IsAPlainCopyableRecord) {
  EXPECT_TRUE(std::is_trivially_copyable_v<TypeParam>);
  EXPECT_FALSE(std::is_polymorphic_v<TypeParam>);
}

TYPED_TEST(EveryValueTest, DefaultsAreEqualAndEveryFieldIsZero) {
  TypeParam a, b;
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  Zef::forEachField<TypeParam>([&](auto const& f) {
    using F = std::remove_cvref_t<decltype(a.*f.member)>;
    EXPECT_TRUE(a.*f.member == F{}) << f.name;
  });
}

// Each field alone makes two values unequal.
TYPED_TEST(EveryValueTest, AnyOneFieldThatDiffersMakesValuesUnequal) {
  std::mt19937_64 rng(1);
  TypeParam base = randomValue<TypeParam>(rng);
  Zef::forEachField<TypeParam>([&](auto const& f) {
    TypeParam other = base;
    auto& member = other.*f.member;
    using F = std::remove_reference_t<decltype(member)>;
    if constexpr (std::is_same_v<F, U1>) member = U1(!member ? 1 : 0);
    else member = member + 1 == member ? F{} : member + 1;  // large doubles: +1 is no change
    EXPECT_TRUE(other != base) << f.name;
    EXPECT_FALSE(other == base) << f.name;
  });
}

TYPED_TEST(EveryValueTest, HasOneTypeObjectNamedAfterIt) {
  Zef::ZefType* t = TypeParam::_fwkType();
  EXPECT_EQ(t, TypeParam().fwkType());
  EXPECT_EQ(t->name(), TypeParam::zefNames.name);
  EXPECT_EQ(t->base(), nullptr);
  EXPECT_FALSE(t->flags().isEntity());
}

TEST(ValueEqualityTest, TimeStampsCompareAsDoubles) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  Event e;
  e.whenIs(nan);
  EXPECT_FALSE(e == e);
  EXPECT_TRUE(e != e);
  Event plus, minus;
  plus.whenIs(0.0);
  minus.whenIs(-0.0);
  EXPECT_TRUE(plus == minus);
}

TEST(ValueEqualityTest, NamedCasesDiffer) {
  Event a, b;
  b.whenIs(1.0);
  EXPECT_NE(a, b);
  ConditionOrChanged c, d;
  d.changedIs(U1(1));
  EXPECT_NE(c, d);
}

TEST(ValueIdsTest, FieldsCountFromTwoAndAStatisticsUpdateFollows) {
  EXPECT_EQ(Event::valueAttrId, 2);
  EXPECT_EQ(Event::whenAttrId, 3);
  EXPECT_EQ(ConditionOrChanged::whenAttrId, 4);
  EXPECT_EQ(ConditionStat::lastChangeAttrId, 4);
  EXPECT_EQ(ConditionStat::updateAttrId, 5);
  EXPECT_EQ(ConditionStat::doUpdateAttrId, 6);
  EXPECT_EQ(CountStat::updateAttrId, 4);
  EXPECT_EQ(CountStat::doUpdateAttrId, 5);
}

}  // namespace
