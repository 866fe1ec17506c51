#include "core/io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/utf8.hpp"
#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;

using testing::TempDir;

TEST(Io, ReadsWholeSourcesInAnyChunking) {
  std::string big(100000, 'x');
  big[99999] = 'y';
  for (std::size_t chunk : {1u, 8191u, 100000u}) {
    testing::ScriptedSource source(big, chunk);
    ByteBuffer out;
    out.append("keep:");
    ASSERT_TRUE(read_to_end(source, out).has_value());
    EXPECT_EQ(out.view(), "keep:" + big);
  }
  MemorySource memory("abc");
  ByteBuffer out;
  ASSERT_TRUE(read_to_end(memory, out).has_value());
  EXPECT_EQ(out.view(), "abc");
}

// A regular file is held in one block of about its size: the read that finds the end must not
// double the block (a 300 MB CSV file once peaked at 600 MB before parsing began).
TEST(Io, HoldsARegularFileInOneBlockOfItsSize) {
  TempDir dir;
  for (const std::size_t size : {std::size_t{0}, io_buffer_size, std::size_t{3} << 20}) {
    const std::string path = dir.file("input" + std::to_string(size));
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    auto fd = open_for_reading(path);
    ASSERT_TRUE(fd.has_value());
    FdSource source(std::move(*fd));
    ByteBuffer out;
    ASSERT_TRUE(read_to_end(source, out).has_value());
    EXPECT_EQ(out.size(), size);
    EXPECT_LE(out.capacity(), size + 2 * io_buffer_size) << "file of " << size << " bytes";
  }
}

TEST(Io, OpenFailuresCarryTheSystemMessage) {
  TempDir dir;
  auto missing = open_for_reading(dir.file("missing.csv"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::Open);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
  auto nested = open_for_writing(dir.file("no/such/dir.sql"));
  ASSERT_FALSE(nested.has_value());
  EXPECT_EQ(nested.error().message, "No such file or directory (os error 2)");
}

TEST(Io, ReadingADirectoryFailsOnRead) {
  TempDir dir;
  auto fd = open_for_reading(dir.file(""));
  ASSERT_TRUE(fd.has_value());
  FdSource source(std::move(*fd));
  ByteBuffer out;
  auto status = read_to_end(source, out);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind, ErrorKind::Io);
  EXPECT_EQ(status.error().message, "Is a directory (os error 21)");
}

TEST(Io, FileSinkWritesEverythingOnFlushAndRelease) {
  TempDir dir;
  const std::string path = dir.file("out.sql");
  std::string expected;
  {
    auto fd = open_for_writing(path);
    ASSERT_TRUE(fd.has_value());
    FdSink sink(std::move(*fd));
    for (int i = 0; i < 3000; ++i) {
      const std::string line = "INSERT " + std::to_string(i) + ";\n";
      expected += line;
      ASSERT_TRUE(sink.write(line).has_value());
    }
    const std::string large(20000, 'z');
    expected += large;
    ASSERT_TRUE(sink.write(large).has_value());
    expected += "tail";
    ASSERT_TRUE(sink.write("tail").has_value());
    // No flush: the buffered tail is written when the sink is released.
  }
  std::ifstream file(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
  EXPECT_EQ(written, expected);
  struct stat info;
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(Io, FileSinkReportsWriteFailures) {
  auto fd = open_for_writing("/dev/full");
  ASSERT_TRUE(fd.has_value());
  FdSink sink(std::move(*fd));
  ASSERT_TRUE(sink.write("buffered").has_value());
  auto flushed = sink.flush();
  ASSERT_FALSE(flushed.has_value());
  EXPECT_EQ(flushed.error().kind, ErrorKind::Io);
  EXPECT_EQ(flushed.error().message, "No space left on device (os error 28)");
}

void expect_utf8(std::string_view bytes, std::optional<std::pair<std::size_t, std::size_t>> bad) {
  const auto found = find_invalid_utf8(bytes);
  if (!bad) {
    EXPECT_FALSE(found.has_value()) << testing::test_name_of(bytes);
    return;
  }
  ASSERT_TRUE(found.has_value()) << testing::test_name_of(bytes);
  EXPECT_EQ(found->valid_up_to, bad->first);
  EXPECT_EQ(found->error_length, bad->second);
}

TEST(Utf8, FindsTheFirstBadSequence) {
  expect_utf8("plain ascii text of some length", std::nullopt);
  expect_utf8("\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", std::nullopt);
  expect_utf8("ab\xFF", std::pair{2, 1});
  expect_utf8("ab\xC0\x80", std::pair{2, 1});        // overlong
  expect_utf8("x\xED\xA0\x80", std::pair{1, 1});     // surrogate
  expect_utf8("\xF4\x90\x80\x80", std::pair{0, 1});  // above U+10FFFF
  expect_utf8("\xE6\x97", std::pair{0, 0});          // ends inside a character
  expect_utf8("\xE6\x97x", std::pair{0, 2});
  expect_utf8("\xF0\x9F\x98x", std::pair{0, 3});
  expect_utf8("0123456789abcdef\x80", std::pair{16, 1});
}

}  // namespace
}  // namespace morvel
