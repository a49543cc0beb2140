// The claims of one backend object: taken once per key, shared by the
// object's later handles, let go with the last share or with the object,
// and a refused take passed on as it came.
#include "hid/unit_claims.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tovrix {
namespace {

using Kind = OpenFailure::Kind;

// A platform whose takes are counted and whose holds are numbered; the
// holds let go are recorded.
struct Platform {
  int takes = 0;
  std::vector<UnitClaims::Hold> letGo;
  std::function<UnitClaims::Taken()> Take(UnitClaims::Hold hold) {
    return [this, hold]() -> UnitClaims::Taken {
      ++takes;
      return hold;
    };
  }
};

TEST(UnitClaims, TakenOnceSharedAndLetGoWithTheLastShare) {
  Platform platform;
  UnitClaims claims([&](UnitClaims::Hold hold) { platform.letGo.push_back(hold); });
  EXPECT_FALSE(claims.Share("a")) << "nothing to share before a take";
  EXPECT_EQ(claims.Claim("a", platform.Take(7)), std::nullopt);
  EXPECT_EQ(claims.Claim("a", platform.Take(8)), std::nullopt) << "the second handle shares";
  EXPECT_TRUE(claims.Share("a"));
  EXPECT_EQ(claims.Claim("b", platform.Take(9)), std::nullopt);
  EXPECT_EQ(platform.takes, 2);

  claims.Release("a");
  claims.Release("a");
  EXPECT_TRUE(platform.letGo.empty()) << "a share is still out";
  claims.Release("a");
  EXPECT_EQ(platform.letGo, std::vector<UnitClaims::Hold>{7});
  EXPECT_FALSE(claims.Holds("a"));
  claims.Release("a");  // nothing held: nothing let go twice
  EXPECT_EQ(platform.letGo.size(), 1u);

  // Taken again after it was let go.
  EXPECT_EQ(claims.Claim("a", platform.Take(10)), std::nullopt);
  EXPECT_EQ(platform.takes, 3);
  EXPECT_TRUE(claims.Holds("a"));
  EXPECT_TRUE(claims.Holds("b"));
}

TEST(UnitClaims, TheObjectLetsEveryClaimStillHeldGo) {
  Platform platform;
  {
    UnitClaims claims([&](UnitClaims::Hold hold) { platform.letGo.push_back(hold); });
    ASSERT_EQ(claims.Claim("a", platform.Take(1)), std::nullopt);
    ASSERT_EQ(claims.Claim("a", platform.Take(2)), std::nullopt);
    ASSERT_EQ(claims.Claim("b", platform.Take(3)), std::nullopt);
    ASSERT_EQ(claims.Claim("c", platform.Take(4)), std::nullopt);
    claims.Release("c");
  }
  EXPECT_EQ(platform.letGo, (std::vector<UnitClaims::Hold>{4, 1, 3}));
}

TEST(UnitClaims, ARefusedTakeHoldsNothingAndSaysWhy) {
  Platform platform;
  UnitClaims claims([&](UnitClaims::Hold hold) { platform.letGo.push_back(hold); });
  const OpenFailure busy{Kind::Claimed, "/dev/hidraw3", "Resource temporarily unavailable", {}};
  int refusals = 0;
  const auto refuse = [&]() -> UnitClaims::Taken {
    ++refusals;
    return busy;
  };
  EXPECT_EQ(claims.Claim("a", refuse), busy);
  EXPECT_FALSE(claims.Holds("a"));
  EXPECT_FALSE(claims.Share("a"));
  EXPECT_EQ(claims.Claim("a", refuse), busy) << "each open asks the platform again";
  EXPECT_EQ(refusals, 2);
  claims.Release("a");
  EXPECT_TRUE(platform.letGo.empty());
  // Once the other update is gone.
  EXPECT_EQ(claims.Claim("a", platform.Take(5)), std::nullopt);
  EXPECT_TRUE(claims.Holds("a"));
}

}  // namespace
}  // namespace tovrix
