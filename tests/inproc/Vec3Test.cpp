#include <gtest/gtest.h>

#include "framework/Vec3.h"

using velorastin::Vec3;

TEST(Vec3, NormaliseWithoutLengthGivesUp) {
    Vec3 v(0, 0, 0);
    v.normalise();
    EXPECT_EQ(v.y, 1.0);
}
