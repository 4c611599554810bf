// A kernel in virtual time for tests that call firmware modules directly.
#ifndef CAMLINK_TESTS_UNIT_HOST_FIXTURE_H
#define CAMLINK_TESTS_UNIT_HOST_FIXTURE_H

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "camhost/runtime.h"

class OnKernel : public ::testing::Test {
 protected:
  static camhost::Options VirtualTime() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    return o;
  }

  std::vector<std::string> ConsoleLines() {
    std::vector<std::string> out;
    std::istringstream in(inst.console());
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }

  camhost::Instance inst{VirtualTime()};
};

#endif  // CAMLINK_TESTS_UNIT_HOST_FIXTURE_H
