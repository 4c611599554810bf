// camphone as a user runs it: help, bad options and a camera that is not there.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
  int status;
  std::string out;
};

Outcome Camphone(const std::string& args) {
  std::string cmd = std::string(CAMPHONE_PATH) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  Outcome r{-1, ""};
  if (!p) return r;
  for (int c; (c = fgetc(p)) != EOF;) r.out += static_cast<char>(c);
  int s = pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return r;
}

TEST(CamphoneCli, HelpListsTheCommandsAndExitsZero) {
  Outcome r = Camphone("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--exec"), std::string::npos);
  EXPECT_NE(r.out.find("frame FILE"), std::string::npos);
}

TEST(CamphoneCli, ExitStatusIsTwoForBadOptionsAndOneForAFailedStep) {
  EXPECT_EQ(Camphone("--bogus").status, 2);
  EXPECT_EQ(Camphone("--exec \"get interval\"").status, 2);  // no socket named
  Outcome r = Camphone("--ble /nonexistent/ble.sock --exec \"get interval\"");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot connect"), std::string::npos) << r.out;
}

}  // namespace
