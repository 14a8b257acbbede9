// Writes the example scenes' textures and mesh:
//   make_example_assets FOLDER     (scripts/make-examples passes examples/scenes)
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/render/ExampleAssets.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example_assets FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    std::string error;
    if (!refhost::writePng(folder + "/textures/painted-chart.png", examples::paintedChart(), error) ||
        !refhost::writePng(folder + "/textures/bricks.png", examples::bricks(), error)) {
        std::fprintf(stderr, "make_example_assets: %s\n", error.c_str());
        return 1;
    }
    std::ofstream mesh(folder + "/meshes/vase.obj", std::ios::binary);
    mesh << examples::vaseObj();
    if (!mesh.flush()) {
        std::fprintf(stderr, "make_example_assets: %s/meshes/vase.obj: cannot write\n", folder.c_str());
        return 1;
    }
    return 0;
}
