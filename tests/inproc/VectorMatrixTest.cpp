// Vec3 normalisation and scaling; Matrix shapes, reallocation and assignment.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "framework/Matrix.h"
#include "framework/Vec3.h"

using velorastin::Matrix;
using velorastin::Vec3;

namespace {

bool withinOneUlp(double actual, double expected) {
    return actual == expected || std::nextafter(expected, actual) == actual;
}

void fill(Matrix& m, double first) {
    for (int32_t i = 0; i < m.elementCount(); ++i) m.data[i] = first + i;
}

} // namespace

TEST(Vec3, NormaliseAndScaleInPlace) {
    Vec3 v(0, 0, -5);
    EXPECT_EQ(&v.normalise(), &v);
    EXPECT_TRUE(v.x == 0.0 && v.y == 0.0 && v.z == -1.0);
    Vec3 w(3, 0, 4);
    w.normalise();
    EXPECT_TRUE(withinOneUlp(w.x, 0.6) && w.y == 0.0 && withinOneUlp(w.z, 0.8)) << w.x << " " << w.z;
    Vec3 s(2, 4, -6);
    EXPECT_EQ(&s.scale(0.5), &s);
    EXPECT_TRUE(s.x == 1.0 && s.y == 2.0 && s.z == -3.0);
}

TEST(Vec3, NormaliseWithoutLengthGivesUp) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (Vec3 v : {Vec3(0, 0, 0), Vec3(nan, 1, 2), Vec3(0, nan, 0)}) {
        v.normalise();
        EXPECT_TRUE(v.x == 0.0 && v.y == 1.0 && v.z == 0.0) << v.x << " " << v.y << " " << v.z;
    }
}

TEST(Matrix, ConstructionAndReshaping) {
    const Matrix counted(1, 2, 3, 4, 5, 6, 7, 8, 9);  // row by row
    EXPECT_TRUE(counted.rows == 3 && counted.cols == 3);
    EXPECT_TRUE(counted.at(1, 2) == 6.0 && counted.at(2, 0) == 7.0 && counted.at(0, 1) == 2.0);

    Matrix m;
    ASSERT_TRUE(m.rows == 3 && m.cols == 3 && m.data);
    fill(m, 1);
    const double* nine = m.data;
    m.resize(1, 9);  // same count: the array and its values stay
    EXPECT_TRUE(m.data == nine && m.rows == 1 && m.cols == 9);
    for (int32_t j = 0; j < 9; ++j) EXPECT_EQ(m.at(0, j), 1.0 + j) << j;
    m.resize(4, 4);
    EXPECT_TRUE(m.rows == 4 && m.cols == 4);
    fill(m, 0);  // room for sixteen
    EXPECT_EQ(m.at(3, 3), 15.0);
}

TEST(Matrix, OneElementHasItsOwnArray) {
    Matrix one(1, 1);
    ASSERT_TRUE(one.data);
    const double value = 0.125;
    Matrix copy;
    copy.assign(1, 1, &value);
    ASSERT_TRUE(copy.data && copy.rows == 1 && copy.cols == 1);
    EXPECT_EQ(copy.data[0], 0.125);
    copy.resize(0, 5);
    EXPECT_TRUE(copy.data == nullptr && copy.elementCount() == 0);
}

TEST(Matrix, AssignmentTakesTheSourceShape) {
    Matrix big(4, 4);
    fill(big, 100);
    Matrix small;
    small = big;
    EXPECT_TRUE(small.rows == 4 && small.cols == 4 && small.data != big.data);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(small.data[i], 100.0 + i);

    // An equal count reuses the target's array.
    Matrix wide(2, 8);
    fill(wide, 7);
    const double* kept = small.data;
    small = wide;
    EXPECT_TRUE(small.data == kept && small.rows == 2 && small.cols == 8);
    EXPECT_EQ(small.at(1, 7), 22.0);
}
