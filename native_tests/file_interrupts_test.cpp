// File I/O asks its Interrupts whether to go on after EINTR and between
// bounded chunks of long transfers; a no ends it at once with
// OsError::interrupted() and its descriptor closed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "interrupts.h"
#include "read/file_source.h"
#include "record_forest.h"
#include "write/file_output.h"
#include "write/sinks.h"

namespace orvex {
namespace {

// Says yes `yes` times, then no; counts the questions.
struct Answers {
  int yes = 0;
  int asked = 0;
  static bool answer(void* self) {
    auto* a = static_cast<Answers*>(self);
    return a->asked++ < a->yes;
  }
  Interrupts interrupts() { return {&Answers::answer, this}; }
};

int open_descriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// SIGALRM every few milliseconds, with a handler installed without
// SA_RESTART (as the interpreter installs its own), so that blocking calls
// fail with EINTR.
class AlarmEvery {
 public:
  explicit AlarmEvery(long usec) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &old_);
    itimerval t{{0, usec}, {0, usec}};
    setitimer(ITIMER_REAL, &t, nullptr);
  }
  ~AlarmEvery() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old_, nullptr);
  }

 private:
  struct sigaction old_ {};
};

std::string make_fifo() {
  char dir[] = "/tmp/orvex_fifo_XXXXXX";
  if (mkdtemp(dir) == nullptr) return {};
  std::string path = std::string(dir) + "/fifo";
  return mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
}

TEST(FileInterrupts, AnEndlessReadAsksEveryChunk) {
  const int fds = open_descriptors();
  Answers a{2};
  auto r = read::read_file_source("/dev/zero", a.interrupts());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().errnum, EINTR);
  EXPECT_EQ(a.asked, 3);  // after 32, 64 and 96 MiB
  EXPECT_EQ(open_descriptors(), fds);
}

TEST(FileInterrupts, AnInterruptedOpenIsRetriedUntilRefused) {
  const std::string fifo = make_fifo();
  ASSERT_FALSE(fifo.empty());
  const int fds = open_descriptors();
  Answers a{2};
  {
    AlarmEvery alarm(20000);
    auto r = read::read_file_source(fifo, a.interrupts());  // no writer: blocks
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().errnum, EINTR);
  }
  EXPECT_EQ(a.asked, 3);
  EXPECT_EQ(open_descriptors(), fds);
  unlink(fifo.c_str());
}

TEST(FileInterrupts, ABlockedWriteStopsWhenRefused) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const std::string doc(1 << 20, 'x');
  Answers a{0};
  {
    AlarmEvery alarm(20000);
    FileSink sink(p[1], a.interrupts());
    EXPECT_FALSE(sink.write(doc));  // blocks once the pipe is full
    EXPECT_EQ(sink.error().errnum, EINTR);
  }
  EXPECT_EQ(a.asked, 1);
  close(p[1]);
  std::string got;
  char buf[65536];
  for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  close(p[0]);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), doc.size());
  EXPECT_EQ(got.find_first_not_of('x'), std::string::npos);
}

TEST(FileInterrupts, ALongWriteAsksEveryChunk) {
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  Answers a{100};
  FileSink sink(fd, a.interrupts());
  const std::string piece(3 << 20, ' ');
  for (int i = 0; i < 33; ++i) ASSERT_TRUE(sink.write(piece));  // 99 MiB
  EXPECT_TRUE(sink.spaces(uint64_t{40} << 20));
  EXPECT_TRUE(sink.flush());
  EXPECT_EQ(a.asked, 4);  // 139 MiB
  close(fd);
}

// write_file reports what close reports: on network and quota-limited file
// systems that is where a failed write shows, and a call that returned
// success would have lost the data. EINTR from close is no error (the
// descriptor is gone on Linux and is never closed again), unless a handler
// refuses to go on.
int g_close_errno = 0;
int g_close_calls = 0;
int failing_close(int fd) {
  ++g_close_calls;
  ::close(fd);
  if (g_close_errno == 0) return 0;
  errno = g_close_errno;
  return -1;
}

TEST(FileInterrupts, WriteToFileReportsWhatCloseReports) {
  testutil::Forest forest;
  const Node* doc = forest.node("r", {{"k", "v"}}, "text");
  char dir[] = "/tmp/orvex_close_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/out.xml";
  struct Case {
    int close_errno;
    int yes;  // answers before a no
    int want_errnum;
  };
  for (const Case c : {Case{0, 0, 0}, Case{EDQUOT, 0, EDQUOT}, Case{EIO, 0, EIO}, Case{EINTR, 1, 0},
                       Case{EINTR, 0, EINTR}}) {
    g_close_errno = c.close_errno;
    g_close_calls = 0;
    Answers a{c.yes};
    const int before = open_descriptors();
    auto r = write_to_file(path, doc->rec, {2, false}, a.interrupts(), FileCalls{&failing_close});
    EXPECT_EQ(g_close_calls, 1);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(r.ok(), c.want_errnum == 0) << c.close_errno;
    if (!r.ok()) {
      EXPECT_FALSE(r.error().refusal.has_value());
      EXPECT_EQ(r.error().error.errnum, c.want_errnum);
    }
    // The bytes reached the file either way.
    EXPECT_EQ(testutil::render(doc, 2), [&] {
      std::string got;
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      char buf[4096];
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
      close(fd);
      return got;
    }());
  }
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace orvex
