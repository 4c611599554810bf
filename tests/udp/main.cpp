// The UDP tests bind the camera server's fixed port, so each run gets a network of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "netns.h"

int main(int argc, char** argv) {
  std::string error;
  if (!camserver::enter_private_network(&error)) {
    fprintf(stderr, "udp_tests: %s\n", error.c_str());
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
