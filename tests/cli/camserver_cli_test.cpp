// camserver and camlink as a user runs them: both built binaries as child processes in a network
// of the test's own (camserver binds the fixed port 46103), the camera on the virtual clock, paced
// by the outside server. One --exec lists the card, downloads a file, one frame and live view.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "netns.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

bool WholeJpeg(const std::string& path) {
  std::string j = Slurp(path);
  size_t n = j.size();
  if (n < 4 || uint8_t(j[0]) != 0xFF || uint8_t(j[1]) != 0xD8 || uint8_t(j[n - 2]) != 0xFF ||
      uint8_t(j[n - 1]) != 0xD9)
    return false;
  const auto* data = reinterpret_cast<const unsigned char*>(j.data());
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  bool ok = tjDecompressHeader3(tj, data, n, &w, &h, &sub, &space) == 0;
  std::vector<unsigned char> pixels(ok ? static_cast<size_t>(w) * h * 3 : 0);
  ok = ok && tjDecompress2(tj, data, n, pixels.data(), w, 0, h, TJPF_RGB, 0) == 0;
  tjDestroy(tj);
  return ok;
}

// Starts `args` with stdout and stderr into files and TMPDIR at `tmp`.
pid_t Spawn(std::vector<std::string> args, const std::string& out, const std::string& err,
            const std::string& tmp) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
  setenv("TMPDIR", tmp.c_str(), 1);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

int ExitStatus(pid_t pid) {
  int w = 0;
  if (waitpid(pid, &w, 0) != pid) return -1;
  return WIFEXITED(w) ? WEXITSTATUS(w) : 128 + WTERMSIG(w);
}

class CamserverCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "camserver-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    fs::create_directory(dir + "/out");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // camlink until camserver has run `script`; camserver's exit status (or 90 without a network
  // of our own).
  int RunBoth(const std::string& script) {
    pid_t world = fork();
    if (world == 0) {
      std::string error;
      if (!camserver::enter_private_network(&error)) _exit(90);
      pid_t cam = Spawn({CAMLINK_PATH, "--time", "virtual", "--server", "external", "--for",
                         "3600", "--state", dir + "/state"},
                        dir + "/camlink.out", dir + "/camlink.err", dir);
      // A generous reply time-out: with an outside server the camera's clock keeps to the wall
      // clock, which a busy machine slows.
      pid_t srv = Spawn({CAMSERVER_PATH, "--exec", script, "--out", dir + "/out", "--quiet",
                         "--timeout", "30"},
                        dir + "/camserver.out", dir + "/camserver.err", dir);
      int status = ExitStatus(srv);
      kill(cam, SIGTERM);
      ExitStatus(cam);
      _exit(status);
    }
    return ExitStatus(world);
  }
  // A first short run makes the state directory and its card of sample recordings: the name of
  // the first recording, or "".
  std::string SampleRecording() {
    pid_t first = Spawn({CAMLINK_PATH, "--time", "virtual", "--for", "1", "--state",
                         dir + "/state"},
                        dir + "/first.out", dir + "/first.err", dir);
    EXPECT_EQ(ExitStatus(first), 0) << Slurp(dir + "/first.err");
    std::string recording;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir + "/state/sdcard", ec))
      if (e.path().extension() == ".MJP" && (recording.empty() || e.path().filename() < recording))
        recording = e.path().filename();
    return recording;
  }
  std::string dir;
};

TEST_F(CamserverCli, ExecListsTheCardAndSavesAFileAFrameAndLiveViewFromAVirtualCamera) {
  std::string recording = SampleRecording();
  ASSERT_FALSE(recording.empty());

  int status = RunBoth("ls; get " + recording + "; frame " + recording + " 0; live 2s");
  std::string out = Slurp(dir + "/camserver.out");
  ASSERT_NE(status, 90) << "no private network namespace";
  EXPECT_EQ(status, 0) << out << Slurp(dir + "/camserver.err");
  EXPECT_EQ(Slurp(dir + "/camserver.err"), "");
  EXPECT_NE(out.find("ls: "), std::string::npos) << out;
  EXPECT_NE(out.find("  " + recording), std::string::npos) << out;
  EXPECT_EQ(Slurp(dir + "/out/" + recording), Slurp(dir + "/state/sdcard/" + recording))
      << "byte for byte";
  EXPECT_TRUE(WholeJpeg(dir + "/out/" + recording + "_0000.jpg"));
  ASSERT_TRUE(fs::exists(dir + "/out/live_0001.jpg")) << out;
  for (const auto& e : fs::directory_iterator(dir + "/out"))
    if (e.path().filename().string().rfind("live_", 0) == 0) {
      EXPECT_TRUE(WholeJpeg(e.path())) << e.path();
    }
}

TEST_F(CamserverCli, CameraErrorsGoToStderrAndMakeTheExitStatusOne) {
  std::string recording = SampleRecording();
  ASSERT_FALSE(recording.empty());
  int status = RunBoth("get NONE.BIN; frame " + recording + " 999; ls");
  ASSERT_NE(status, 90) << "no private network namespace";
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Slurp(dir + "/camserver.err"),
            "get NONE.BIN: error -113\nframe " + recording + " 999: error -103\n");
  EXPECT_NE(Slurp(dir + "/camserver.out").find("ls: "), std::string::npos) << "and goes on";
}

TEST_F(CamserverCli, WithoutACameraExecSaysSoOnStderrAndExitsOne) {
  pid_t world = fork();
  if (world == 0) {
    std::string error;
    if (!camserver::enter_private_network(&error)) _exit(90);
    _exit(ExitStatus(Spawn({CAMSERVER_PATH, "--wait", "0", "--exec", "ls"},
                           dir + "/camserver.out", dir + "/camserver.err", dir)));
  }
  int status = ExitStatus(world);
  ASSERT_NE(status, 90) << "no private network namespace";
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Slurp(dir + "/camserver.err"), "camserver: no session with a camera within 0 s\n");
}

}  // namespace
