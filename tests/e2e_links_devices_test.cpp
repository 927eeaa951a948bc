// End-to-end tests of trees that links make large, and of cache-file names that
// lead to devices and FIFOs: the built artpeel binary walks each folder once,
// and reports such names without ever opening them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

TEST(LinksAndDevices, FoldersThatLinksReachByManyWaysAreWalkedOnce) {
  // L0 .. L600 side by side, each holding a cache file and two links to the
  // next one: 2^600 ways lead to L600. Walked once per way, the run would not
  // end; the time limit is a guard against a hang, not a measure (under
  // valgrind, with the window's checks of a debug build, a run takes half a
  // minute). So many folders make the record of those walked grow several
  // times over.
  TempFolder temp;
  const fs::path library = temp.path() / "lib";
  const fs::path out = temp.path() / "out";
  fs::create_directories(out);
  constexpr int kLevels = 600;
  std::vector<std::string> expected;
  for (int level = 0; level <= kLevels; ++level) {
    const std::string name = "c" + std::to_string(level) + ".itc2";
    WriteWholeFile(library / ("L" + std::to_string(level)) / name, tools::BuildCacheFile({}));
    expected.push_back(ReportOf(name));
    if (level == kLevels) continue;
    const fs::path next = "../L" + std::to_string(level + 1);
    fs::create_directory_symlink(next, library / ("L" + std::to_string(level)) / "a");
    fs::create_directory_symlink(next, library / ("L" + std::to_string(level)) / "b");
  }
  const RunResult result = RunArtpeel(out, {NativePath(library)}, "timeout 300");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(expected));
}

// Watches a FIFO for a reader: a writer waits in open() until one comes, which
// happens only when someone opens the FIFO for reading, however briefly.
struct FifoWatch {
  explicit FifoWatch(const fs::path& fifo) : path(fifo) {
    writer = std::thread([this] {
      writer_id = gettid();
      const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
      opened = fd >= 0;
      if (fd >= 0) close(fd);
    });
    // The watch starts once the writer sleeps in open().
    for (char state = 'R'; state != 'S';) {
      std::this_thread::yield();
      if (writer_id == 0) continue;
      const std::string task = "/proc/self/task/" + std::to_string(writer_id);
      std::istringstream stat(ReadWholeFile(task + "/stat"));
      std::string skip;
      stat >> skip >> skip >> state;  // the name has no spaces: "(e2e_tests)"
    }
  }
  ~FifoWatch() {
    // Lets the writer through, if nobody has.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer.join();
    if (fd >= 0) close(fd);
  }
  fs::path path;
  std::atomic<pid_t> writer_id{0};
  std::atomic<bool> opened{false};
  std::thread writer;
};

TEST(LinksAndDevices, DevicesAndFifosAreReportedWithoutBeingOpened) {
  if (TestingWindows()) GTEST_SKIP() << "devices and FIFOs are POSIX files";
  TempFolder temp;
  const fs::path library = temp.path() / "lib";
  const fs::path out = temp.path() / "out";
  const fs::path folder = library / "S";
  fs::create_directories(folder);
  fs::create_directories(out);
  // A FIFO and a character device of the test's own (the null device's
  // numbers, so opening it is harmless), outside the library and named there
  // by links, and the device named directly too.
  const fs::path fifo = temp.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(fifo, folder / "fifo.itc2");
  std::vector<std::string> names = {"fifo.itc2"};
  const fs::path device = temp.path() / "device";
  const bool have_device = mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  if (have_device) {
    ASSERT_EQ(mknod((folder / "device.itc2").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    fs::create_symlink(device, folder / "link-to-device.itc2");
    names.insert(names.end(), {"device.itc2", "link-to-device.itc2"});
    ASSERT_GE(inotify_add_watch(watch, device.c_str(), IN_OPEN), 0);
    ASSERT_GE(inotify_add_watch(watch, (folder / "device.itc2").c_str(), IN_OPEN), 0);
  } else {
    // Only root may make device nodes; /dev/null is opened by everyone all the
    // time, so it is named but not watched.
    fs::create_symlink("/dev/null", folder / "null.itc2");
    names.push_back("null.itc2");
  }
  RunResult result;
  bool fifo_opened = false;
  {
    FifoWatch fifo_watch(fifo);
    result = RunArtpeel(out, {library.string()}, "timeout 60");
    fifo_opened = fifo_watch.opened;
  }
  char events[4096];
  const ssize_t event_bytes = read(watch, events, sizeof events);
  close(watch);
  std::vector<std::string> expected;
  for (const std::string& name : names) {
    expected.push_back("Unable to map file '" + (folder / name).string() + "'");
  }
  std::vector<std::string> lines;
  std::istringstream report(result.output);
  for (std::string line; std::getline(report, line);) lines.push_back(line);
  EXPECT_EQ(Sorted(lines), Sorted(expected));
  EXPECT_FALSE(fifo_opened) << "the FIFO was opened";
  EXPECT_LE(event_bytes, 0) << "the device was opened";
  EXPECT_TRUE(FilesIn(out).empty());
}

}  // namespace
}  // namespace artpeel::testing
