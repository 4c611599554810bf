// camlink as a user runs it: the built binary started with hostile options and state
// directories. Each refusal is an exit status other than 0, a message that says what is wrong,
// and a state directory left as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "camlink-cli-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string Slurp(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}

struct Outcome {
  int status;  // the exit status, or 128 + the signal that ended it
  std::string err;
};

class Camlink : public ::testing::Test {
 protected:
  // Runs camlink on the virtual clock with `args`; its temporary files go into the test's
  // directory, and its console nowhere.
  Outcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), {CAMLINK_PATH, "--time", "virtual"});
    const std::string err_path = dir.path() + "/stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open("/dev/null", O_WRONLY);
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      setenv("TMPDIR", dir.path().c_str(), 1);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus),
            WithoutImageNote(Slurp(err_path))};
  }

  // A sanitizer build's firmware is too large for the flash, and camlink says so first: that note
  // is the build's, not the option's.
  static std::string WithoutImageNote(const std::string& err) {
    const std::string note = "does not fit the image region";
    size_t at = err.find(note);
    if (at == std::string::npos) return err;
    size_t start = err.rfind('\n', at), end = err.find('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return err.substr(0, start) + (end == std::string::npos ? "" : err.substr(end + 1));
  }

  // A state directory holding a state file, as a camera that ran before leaves it.
  std::string StateDir() {
    const std::string state = dir.path() + "/state";
    EXPECT_EQ(Run({"--for", "1", "--state", state}).status, 0);
    return state;
  }

  TempDir dir;
};

TEST_F(Camlink, RunsAndKeepsItsStateWhenTheOptionsAreGood) {
  const Outcome o = Run({"--for", "1", "--boot-arg", "wifi.cloud_pm=0", "--state",
                         dir.path() + "/state"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() + "/state/stm32.json"));
}

TEST_F(Camlink, RefusesAnOptionItCannotUseNamingIt) {
  const std::string long_value(100000, '7');
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--for", "1e20"},
       "camlink: --for takes seconds from 0 to 18446744073709, not \"1e20\"\n"},
      {{"--for", "18446744073709.6"},
       "camlink: --for takes seconds from 0 to 18446744073709, not \"18446744073709.6\"\n"},
      {{"--boot-arg", "wifi.cloud_pm=garbage"},
       "camlink: --boot-arg wifi.cloud_pm=garbage: the value must be a whole number in 0..1\n"},
      {{"--boot-arg", "wifi.cloud_pm=4294967297"},
       "camlink: --boot-arg wifi.cloud_pm=4294967297: the value must be a whole number in 0..1\n"},
      {{"--boot-arg", "wifi.cloud_pm="},
       "camlink: --boot-arg wifi.cloud_pm=: the value must be a whole number in 0..1\n"},
      {{"--boot-arg", "wifi.cloudpm=0"},
       "camlink: --boot-arg wifi.cloudpm=0: not a boot argument the firmware reads (it reads "
       "wifi.cloud_pm)\n"},
      {{"--boot-arg", "wifi.cloud_pm=0", "--boot-arg", "wifi.cloud_pm=1"},
       "camlink: --boot-arg wifi.cloud_pm=1: given twice\n"},
      {{"--board", ""}, "camlink: --board takes a file\n"},
      {{"--update-feed", "sometimes"},
       "camlink: --update-feed takes auto, silent or line, not \"sometimes\"\n"},
      {{"--seed", long_value},
       "camlink: --seed takes a whole number, not \"" + long_value.substr(0, 64) + "...\"\n"},
  };
  for (const auto& [args, message] : cases) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 2) << args[0] << " " << args[1];
    EXPECT_EQ(o.err, message);
  }
}

TEST_F(Camlink, RefusesAStateFileThatIsNotARegularFileAndLeavesItThere) {
  const std::string state = dir.path() + "/state", path = state + "/stm32.json";
  std::filesystem::create_directory(state);
  const std::pair<void (*)(const std::string&), std::string> cases[] = {
      {[](const std::string& p) { mkfifo(p.c_str(), 0600); }, "is a FIFO"},
      {[](const std::string& p) { std::filesystem::create_directory(p); }, "is a directory"},
      {[](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); },
       "is a character device"},
  };
  for (const auto& [make, what] : cases) {
    make(path);
    const Outcome o = Run({"--for", "1", "--state", state});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "camlink: " + path + ": " + what + ", not a regular file\n");
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path, ec))) << what;
    std::filesystem::remove(path);
  }
}

TEST_F(Camlink, RefusesAStateDirectoryAnotherProcessHoldsNamingIt) {
  const std::string state = StateDir();
  const std::string kept = Slurp(state + "/stm32.json");
  const int fd = open((state + "/lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  const std::string id = std::to_string(getpid()) + "\n";
  ASSERT_EQ(ftruncate(fd, 0), 0);
  ASSERT_EQ(pwrite(fd, id.data(), id.size(), 0), static_cast<ssize_t>(id.size()));
  const Outcome o = Run({"--for", "1", "--state", state});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "camlink: " + state + ": the state directory is in use by process " +
                       std::to_string(getpid()) + "\n");
  EXPECT_EQ(Slurp(state + "/stm32.json"), kept);
  close(fd);
  EXPECT_EQ(Run({"--for", "1", "--state", state}).status, 0);  // free again
}

TEST_F(Camlink, ReadsBackTheStateItWroteWhenItsClockRanToTheLastDate) {
  const std::string board = dir.path() + "/board.json", state = dir.path() + "/state";
  // Out of the access point's reach: a camera server's clock would set the STM32's.
  std::ofstream(board) << R"({"rtc_time": "9999-12-31T23:59:00+00:00", "ssid": "elsewhere"})";
  EXPECT_EQ(Run({"--for", "180", "--board", board, "--state", state}).status, 0);
  EXPECT_NE(Slurp(state + "/stm32.json").find("\"rtc_time\": \"9999-12-31T23:59:59+00:00\""),
            std::string::npos);
  const Outcome o = Run({"--for", "1", "--state", state});
  EXPECT_EQ(o.status, 0) << o.err;
}

}  // namespace
