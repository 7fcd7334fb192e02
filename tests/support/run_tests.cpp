// The entry of a test module: runs the GoogleTest cases linked into it.
#include <gtest/gtest.h>

extern "C" __attribute__((visibility("default"))) int QrnTestModuleMain(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
