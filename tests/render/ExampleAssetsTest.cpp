// The shipped example files are the ones the project makes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/render/ExampleAssets.h"

namespace {

void expectShipped(const std::string& name, const refhost::Image& made) {
    refhost::Image shipped;
    std::string error;
    ASSERT_TRUE(refhost::readImage(std::string(EXAMPLES_DIR) + "/" + name, shipped, error)) << error;
    EXPECT_EQ(shipped.width, made.width) << name;
    EXPECT_EQ(shipped.height, made.height) << name;
    EXPECT_TRUE(shipped.rgba == made.rgba) << name << " differs from what make_example_assets makes";
}

} // namespace

TEST(ExampleAssets, ShippedFilesAreWhatTheProjectMakes) {
    expectShipped("textures/painted-chart.png", examples::paintedChart());
    expectShipped("textures/bricks.png", examples::bricks());
    std::ifstream in(std::string(EXAMPLES_DIR) + "/meshes/vase.obj", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), examples::vaseObj());
}
