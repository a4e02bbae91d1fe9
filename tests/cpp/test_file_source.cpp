// FileSource: reading at its own position, and why a path did not open.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "tokenizers/file_source.hpp"

using namespace tarvelin;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/file_source_testXXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

std::string read_all(FileSource& s) {
    std::string got;
    for (auto w = s.window(); !w.empty(); w = s.window()) {
        got.append(reinterpret_cast<const char*>(w.data()), w.size());
        s.consume(w.size());
    }
    return got;
}

bool open_path(FileSource& s, const std::string& path) { return s.open(path.data(), path.size()); }

} // namespace

// Another holder of the same open file (a forked process, a dup'ed
// descriptor) moving the shared offset changes nothing for the source.
TEST(FileSource, ReadsAtItsOwnPositionWhateverTheSharedOffset) {
    TempDir dir;
    const std::string path = dir.path + "/big.txt";
    std::string content;
    for (int i = 0; content.size() < 3 * FILE_READ_AHEAD; ++i) content += std::to_string(i) + " слово\n";
    std::FILE* out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fwrite(content.data(), 1, content.size(), out);
    std::fclose(out);

    FileSource s;
    ASSERT_TRUE(open_path(s, path));
    ASSERT_TRUE(s.seekable);
    const int fd = fileno(s.file);
    ::lseek(fd, 100, SEEK_SET);
    auto w = s.window();
    ASSERT_FALSE(w.empty());
    std::string got(reinterpret_cast<const char*>(w.data()), w.size());
    s.consume(w.size());
    ::lseek(fd, 0, SEEK_END);
    got += read_all(s);
    EXPECT_EQ(got, content);
    EXPECT_EQ(s.position(), content.size());
}

TEST(FileSource, APipeIsReadFromTheSharedOffset) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "abc", 3), 3);
    ::close(fds[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    FileSource s;
    ASSERT_TRUE(open_path(s, path));
    EXPECT_FALSE(s.seekable);
    EXPECT_EQ(read_all(s), "abc");
    EXPECT_FALSE(s.take_error());
    ::close(fds[0]);
}

TEST(FileSource, KeepsTheErrnoOfAFailedOpen) {
    TempDir dir;
    FileSource s;
    ASSERT_TRUE(open_path(s, dir.path + "/missing.txt"));
    EXPECT_FALSE(s.is_open());
    EXPECT_EQ(s.open_error, ENOENT);
    ASSERT_TRUE(open_path(s, dir.path));
    EXPECT_EQ(s.open_error, EISDIR);
    const std::string with_nul("a\0b", 3);
    ASSERT_TRUE(s.open(with_nul.data(), with_nul.size()));
    EXPECT_EQ(s.open_error, EINVAL);

    const std::string path = dir.path + "/there.txt";
    std::fclose(std::fopen(path.c_str(), "w"));
    ASSERT_TRUE(open_path(s, path));
    EXPECT_TRUE(s.is_open());
    EXPECT_EQ(s.open_error, 0);
    EXPECT_FALSE(s.closed);
    s.close();
    EXPECT_TRUE(s.closed);
    EXPECT_FALSE(s.is_open());
    ASSERT_TRUE(open_path(s, path)); // a new open starts afresh
    EXPECT_FALSE(s.closed);
}

// Fed mode: the window is the chunk fed last; an empty window wants the next
// chunk until end_input, and close stops it.
TEST(FileSource, FedModeReadsWhatIsFedUntilItsEnd) {
    FileSource s;
    s.open_fed();
    EXPECT_TRUE(s.is_open());
    EXPECT_TRUE(s.window().empty());
    EXPECT_TRUE(s.wants_bytes());
    EXPECT_FALSE(s.at_end());
    const std::string first = "ab ", second = "cd";
    s.feed(reinterpret_cast<const std::uint8_t*>(first.data()), first.size());
    EXPECT_FALSE(s.wants_bytes());
    EXPECT_EQ(s.window().size(), 3u);
    s.consume(1);
    EXPECT_EQ(s.window().data(), reinterpret_cast<const std::uint8_t*>(first.data()) + 1);
    s.consume(2);
    EXPECT_TRUE(s.wants_bytes());
    s.feed(reinterpret_cast<const std::uint8_t*>(second.data()), second.size());
    s.end_input();
    EXPECT_FALSE(s.wants_bytes());
    EXPECT_FALSE(s.at_end()); // two bytes still to read
    s.consume(2);
    EXPECT_TRUE(s.at_end());
    EXPECT_EQ(s.position(), 5u);
    EXPECT_EQ(s.bytes_left(), 0u);

    FileSource c;
    c.open_fed();
    c.close();
    EXPECT_FALSE(c.is_open());
    EXPECT_FALSE(c.wants_bytes());
    EXPECT_TRUE(c.at_end());
}
