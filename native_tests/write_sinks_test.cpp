// Sinks: the buffered file writer against the in-memory buffer, and failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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
    const size_t sizes[] = {1, 8191, 1, 8192, 8193, 0, 4096, 4097, 20000, 3, 65536};
    for (int round = 0; round < 40; ++round) {
      size_t n = round < 11 ? sizes[round] : rng() % 30000;
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
    // Trees large enough that both the copy and the direct path run.
    testutil::Forest forest;
    const Node* t = forest.random_tree(rng, true, 3000);
    uint64_t indent = i % 3 == 0 ? 5000 : i % 5;
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
