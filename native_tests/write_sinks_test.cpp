// Sinks: the buffered file writer against the in-memory buffer, and failures.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>

#include "record_forest.h"
#include "write/sinks.h"
#include "write/writer.h"

namespace orvex {
namespace {

class TempFile {
 public:
  TempFile() {
    char tmpl[] = "/tmp/orvex_write_sink_XXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
  }
  ~TempFile() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  std::string contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  int fd_ = -1;
  std::string path_;
};

TEST(FileSink, PiecesOfEverySizeArriveInOrder) {
  std::mt19937 rng(7);
  TempFile f;
  ASSERT_GE(f.fd(), 0);
  std::string expected;
  {
    FileSink sink(f.fd());
    // Sizes around the buffer's edges, plus spaces runs longer than a buffer.
    constexpr size_t kCap = FileSink::kCapacity;
    const size_t sizes[] = {1, kCap - 1, 1, kCap, kCap + 1, 0, kCap / 2, kCap / 2 + 1, 3 * kCap, 3, kCap / 4};
    for (int round = 0; round < 40; ++round) {
      size_t n = round < 11 ? sizes[round] : rng() % (kCap + kCap / 2);
      if (round % 5 == 4) {
        ASSERT_TRUE(sink.spaces(n));
        expected.append(n, ' ');
        continue;
      }
      std::string piece(n, '\0');
      for (char& ch : piece) ch = static_cast<char>('a' + rng() % 26);
      ASSERT_TRUE(sink.write(piece));
      expected += piece;
      ASSERT_LE(sink.buffered(), FileSink::kCapacity);
    }
    ASSERT_TRUE(sink.flush());
    EXPECT_EQ(sink.buffered(), 0u);
  }
  EXPECT_EQ(f.contents(), expected);
}

TEST(FileSink, SameBytesAsMemoryForRandomTrees) {
  std::mt19937 rng(2024);
  for (int i = 0; i < 40; ++i) {
    // Trees large enough that the buffer is written out several times,
    // some with texts and attribute values too long for one piece (written
    // in runs, escapes among them) and indentation longer than the buffer.
    testutil::Forest forest;
    const bool long_lines = i % 7 == 2;
    Node* t = forest.random_tree(rng, true, long_lines ? 5 : 3000);
    if (i % 4 == 1) {
      std::string big(FileSink::kCapacity + rng() % FileSink::kCapacity, 'w');
      for (int k = 0; k < 50; ++k) big[rng() % big.size()] = "&<\n\""[k % 4];
      std::vector<Node*> kids(t->rec.children.begin(), t->rec.children.end());
      kids.push_back(forest.node("long", {{"v", big}, {"w", "x"}}, big));
      kids.push_back(forest.node("after", {{"v", big.substr(0, 100)}}));
      testutil::Forest::set_children(t, kids);
    }
    uint64_t indent = long_lines ? FileSink::kCapacity + 7 : i % 3 == 0 ? 5000 : i % 5;
    std::string mem = testutil::render(t, indent);
    TempFile f;
    FileSink sink(f.fd());
    ASSERT_TRUE(write_document(sink, t->rec, {indent, false}));
    ASSERT_TRUE(sink.flush());
    ASSERT_EQ(f.contents(), mem) << "tree " << i;
  }
}

// Strings that view a document are copied and checked by whole vectors
// where the document has room after them; they must come out exactly as
// the buffered file writer's piece-by-piece path writes them. Every string
// of a tree views one buffer, the last one ending at the buffer's end or
// shortly before it.
TEST(MemorySink, ViewsNearTheirBufferEndWriteLikeTheFileSink) {
  std::mt19937 rng(77);
  for (int i = 0; i < 300; ++i) {
    testutil::Forest forest;
    Node* owned = forest.random_tree(rng, i % 3 != 0, 40);
    if (i % 2 == 0) owned->rec.text = SharedStr::owned(std::string(rng() % 90, i % 4 == 0 ? '&' : 'w'));
    std::string pool;
    (void)forest.copy(owned, [&](const SharedStr& s) {
      pool += s.sv();
      return SharedStr();
    });
    pool.append(rng() % 3 == 0 ? rng() % 20 : 0, 'z');
    SourceHandle buf(SourceBuffer::copy_of(pool.data(), pool.size()));
    forest.place_in(buf.get());
    size_t at = 0;
    const Node* views = forest.copy(owned, [&](const SharedStr& s) {
      SharedStr v = SharedStr::borrowed_view(buf.get(), at, at + s.size());
      at += s.size();
      return v;
    });
    const uint64_t indent = rng() % 60;
    const std::string mem = testutil::render(views, indent);
    ASSERT_EQ(mem, testutil::render(owned, indent));
    TempFile f;
    FileSink sink(f.fd());
    ASSERT_TRUE(write_document(sink, views->rec, {indent, false}));
    ASSERT_TRUE(sink.flush());
    ASSERT_EQ(mem, f.contents()) << "tree " << i;
  }
}

// /dev/full refuses every write with ENOSPC: small pieces fail when the buffer
// is written out, big ones on their direct write.
TEST(FileSink, DevFullFailsWithEnospc) {
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  {
    FileSink sink(fd);
    EXPECT_TRUE(sink.write("small", 5));  // buffered, no system call yet
    EXPECT_FALSE(sink.flush());
    EXPECT_EQ(sink.error().errnum, ENOSPC);
    EXPECT_EQ(sink.buffered(), 5u);  // nothing was taken, so nothing is dropped
  }
  {
    FileSink sink(fd);
    std::string big(FileSink::kCapacity * 2, 'x');
    EXPECT_FALSE(sink.write(big));
    EXPECT_TRUE(sink.failed());
    EXPECT_EQ(sink.error().errnum, ENOSPC);
  }
  {
    // The writer stops at the first failure.
    std::mt19937 rng(5);
    testutil::Forest forest;
    const Node* t = forest.random_tree(rng, false, 5000);
    FileSink sink(fd);
    bool ok = write_document(sink, t->rec, {4, false}) && sink.flush();
    EXPECT_FALSE(ok);
    EXPECT_EQ(sink.error().errnum, ENOSPC);
  }
  close(fd);
}

TEST(FileSink, ClosedDescriptorReportsEbadf) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  FileSink sink(fds[1]);
  std::string big(FileSink::kCapacity + 1, 'x');
  EXPECT_FALSE(sink.write(big));
  EXPECT_EQ(sink.error().errnum, EBADF);
  EXPECT_EQ(sink.error().text, nullptr);
}

// The descriptor of a sink with an opener is asked for once: at the end for
// a document that fit in the buffer, before any byte reaches the file for
// one that did not. Refusing writes nothing and stops the walk.
struct OpenProbe {
  int fd = -1;
  bool allow = true;
  int calls = 0;
  bool whole = false;
  std::string file_before;  // the file's content when asked
  const TempFile* file = nullptr;
  static bool open(void* ctx, bool whole_document, int* fd, OsError* error) {
    auto* p = static_cast<OpenProbe*>(ctx);
    ++p->calls;
    p->whole = whole_document;
    p->file_before = p->file->contents();
    if (!p->allow) {
      *error = OsError::fixed("refused");
      return false;
    }
    *fd = p->fd;
    return true;
  }
};

TEST(FileSink, AnOpenerIsAskedOnceBeforeTheFirstByte) {
  std::mt19937 rng(9);
  testutil::Forest forest;
  Node* small = forest.node("r", {{"k", "v"}}, "text");
  Node* large = forest.random_tree(rng, true, 3000);
  std::vector<Node*> kids(large->rec.children.begin(), large->rec.children.end());
  kids.push_back(forest.node("pad", {}, std::string(FileSink::kCapacity, 'p')));
  testutil::Forest::set_children(large, kids);
  for (const Node* t : {small, large}) {
    for (bool allow : {true, false}) {
      TempFile f;
      ASSERT_GE(f.fd(), 0);
      OpenProbe probe{f.fd(), allow, 0, false, "", &f};
      FileSink sink(FileSink::Opener{&OpenProbe::open, &probe});
      const bool ok = write_document(sink, t->rec, {2, false}) && sink.flush();
      EXPECT_EQ(ok, allow);
      EXPECT_EQ(probe.calls, 1);
      EXPECT_EQ(probe.whole, t == small);
      EXPECT_EQ(probe.file_before, "");
      EXPECT_EQ(f.contents(), allow ? testutil::render(t, 2) : "");
      if (!allow) {
        EXPECT_STREQ(sink.error().text, "refused");
        EXPECT_FALSE(sink.flush());  // and is not asked again
        EXPECT_EQ(probe.calls, 1);
      }
    }
  }
}

// A signal that arrives once a write has moved some bytes cuts it short
// instead of failing it: the handlers are asked then too. Here a single
// alarm stops a write blocked on a full pipe; without the question it would
// wait until the reader below drains the pipe, and then succeed.
TEST(FileSink, AWriteCutShortBySignalAsksTheHandlers) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  struct sigaction sa {}, old {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);  // without SA_RESTART, as the interpreter does
  struct Refuse {
    static bool no(void*) { return false; }
  };
  std::thread reader([fd = p[0]] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    char buf[65536];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
  });
  itimerval once{{0, 0}, {0, 100000}};
  setitimer(ITIMER_REAL, &once, nullptr);
  const std::string doc(8 * FileSink::kCapacity, 'x');
  bool ok;
  {
    FileSink sink(p[1], Interrupts{&Refuse::no, nullptr});
    ok = sink.write(doc) && sink.flush();
    EXPECT_EQ(sink.error().errnum, EINTR);
  }
  EXPECT_FALSE(ok);
  close(p[1]);
  reader.join();
  close(p[0]);
  sigaction(SIGALRM, &old, nullptr);
}

// A budget is asked about once, exactly when the buffer would outgrow it;
// the answer either stops the writing or makes room for the whole document.
// Budgets on both sides of the size where the buffer moves into a mapping.
struct BudgetProbe {
  int calls = 0;
  bool accept = true;
  uint64_t document = 0;
  size_t size_at_call = 0;
  const MemorySink* sink = nullptr;
  static bool run(void* ctx, uint64_t* size) {
    auto* p = static_cast<BudgetProbe*>(ctx);
    ++p->calls;
    p->size_at_call = p->sink->size();
    *size = p->document;
    return p->accept;
  }
};

TEST(MemorySink, BudgetIsCheckedOnceWhenOutgrown) {
  std::mt19937 rng(11);
  for (size_t budget : {size_t{1000}, size_t{5} << 20, size_t{9} << 20}) {
    for (bool accept : {true, false}) {
      MemorySink sink;
      BudgetProbe probe{0, accept, budget * 3, 0, &sink};
      sink.set_budget(budget, &BudgetProbe::run, &probe);
      std::string expected;
      bool ok = true;
      while (ok && expected.size() < budget * 2) {
        const size_t n = rng() % 3 == 0 ? rng() % 70000 : rng() % 20;
        const bool spaces = rng() % 4 == 0;
        const size_t before = sink.size();
        ok = spaces ? sink.spaces(n) : sink.write(std::string(n, static_cast<char>('a' + n % 26)));
        if (!ok) {
          EXPECT_GT(before + n, budget);
          EXPECT_EQ(sink.size(), before);
          break;
        }
        expected.append(n, spaces ? ' ' : static_cast<char>('a' + n % 26));
        if (probe.calls == 0) {
          EXPECT_LE(sink.size(), budget);
        }
      }
      EXPECT_EQ(probe.calls, 1) << budget;
      EXPECT_LE(probe.size_at_call, budget);
      EXPECT_EQ(ok, accept);
      EXPECT_EQ(sink.failed(), !accept);
      EXPECT_EQ(sink.bytes(), expected);
    }
  }
}

// A sink that scans as it goes knows the largest byte written whenever
// asked, whatever the step, the pieces and the budget, and keeps every byte.
TEST(MemorySink, ScanningAsWrittenKeepsTheLargestByte) {
  std::mt19937 rng(21);
  for (size_t step : {size_t{1}, size_t{7}, size_t{4096}, size_t{1} << 20}) {
    for (bool budget : {false, true}) {
      MemorySink sink;
      BudgetProbe probe{0, true, 0, 0, &sink};
      if (budget) sink.set_budget(5000, &BudgetProbe::run, &probe);
      sink.scan_as_written(step);
      std::string expected;
      uint8_t largest = 0;
      for (int i = 0; i < 600; ++i) {
        const size_t n = rng() % 5 == 0 ? rng() % 30000 : rng() % 40;
        std::string piece(n, '\0');
        const unsigned top = rng() % 100 == 0 ? 256 : 128;  // now and then a larger byte
        for (char& ch : piece) ch = static_cast<char>(rng() % top);
        switch (rng() % 3) {
          case 0: ASSERT_TRUE(sink.write(piece)); break;
          case 1: {
            char* o = sink.room(n + 16);
            ASSERT_NE(o, nullptr);
            std::memcpy(o, piece.data(), n);
            std::memset(o + n, 0xFF, 16);  // stored past the piece: not written
            sink.commit(o + n);
            break;
          }
          default:
            piece.assign(n, ' ');
            ASSERT_TRUE(sink.spaces(n));
        }
        expected += piece;
        for (char ch : piece) largest = std::max(largest, static_cast<uint8_t>(ch));
        if (rng() % 50 == 0) {
          ASSERT_EQ(sink.max_byte(), largest);
        }
      }
      EXPECT_EQ(sink.max_byte(), largest);
      EXPECT_EQ(sink.bytes(), expected);
    }
  }
}

// A buffer in a mapping grows by moving it and keeps every byte; giving
// back a consumed front frees only whole pages within it.
TEST(MemorySink, MappedBufferGrowsIntactAndGivesBackItsFront) {
  MemorySink sink;
  std::string expected;
  for (size_t i = 0; expected.size() < (size_t{40} << 20); ++i) {
    const std::string piece(100000 + i % 7, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(sink.write(piece));
    expected += piece;
  }
  ASSERT_EQ(sink.bytes(), expected);
  const size_t consumed = (size_t{20} << 20) + 123;
  sink.give_back(consumed);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t kept = consumed / page * page;
  EXPECT_EQ(sink.data()[0], '\0');
  EXPECT_EQ(sink.bytes().substr(kept), std::string_view(expected).substr(kept));
}

// A document refused late gives no output; one well within its budget is
// never counted (the writer asks for a little room past each piece).
TEST(MemorySink, WriterStopsWhenTheBudgetRefuses) {
  std::mt19937 rng(3);
  testutil::Forest forest;
  const Node* t = forest.random_tree(rng, false, 5000);
  const std::string full = testutil::render(t, 2);
  for (size_t budget : {size_t{64}, full.size() - 1, full.size() + 64}) {
    MemorySink sink;
    BudgetProbe probe{0, false, 0, 0, &sink};
    sink.set_budget(budget, &BudgetProbe::run, &probe);
    const bool ok = write_document(sink, t->rec, {2, false});
    EXPECT_EQ(ok, budget > full.size());
    EXPECT_EQ(probe.calls, ok ? 0 : 1);
    if (ok) {
      EXPECT_EQ(sink.bytes(), full);
    }
  }
}

}  // namespace
}  // namespace orvex
