#include "runner.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Fills dir/src with `n` bytes of noise, the same for every run, and returns them.
std::string write_source(const temp_dir &dir, std::size_t n)
{
    std::mt19937 gen(static_cast<unsigned>(n));
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(byte(gen));
    write_file(dir / "src", s);
    return s;
}

std::string copying(const std::string &from, const std::string &to)
{
    return "Copying " + from + " to " + to + "\n";
}

std::string success(const std::string &from, const std::string &to, std::size_t n)
{
    return copying(from, to) + "Successfully written " + std::to_string(n) + " Bytes.\n";
}

mode_t mode_of(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

struct copy_size {
    const char *label;
    std::size_t bytes;
};

class FilecopySizes : public testing::TestWithParam<copy_size> {};

TEST_P(FilecopySizes, CopyIsIdenticalAndCounted)
{
    temp_dir dir;
    auto data = write_source(dir, GetParam().bytes);
    auto r = run(PROGRAM, {.args = {dir / "src", dir / "dst"}});
    EXPECT_EQ(r, (outcome{0, success(dir / "src", dir / "dst", data.size()), ""}));
    EXPECT_TRUE(read_file(dir / "dst") == data);
    EXPECT_EQ(mode_of(dir / "dst"), 0600U);
}

INSTANTIATE_TEST_SUITE_P(AroundTheChunk, FilecopySizes,
                         testing::ValuesIn(std::vector<copy_size>{{"EmptySource", 0},
                                                                  {"OneByte", 1},
                                                                  {"JustUnderAChunk", 99},
                                                                  {"OneChunk", 100},
                                                                  {"JustOverAChunk", 101},
                                                                  {"TwoAndAHalfChunks", 250},
                                                                  {"OneMebibyte", 1 << 20}}),
                         by_label);

TEST(Filecopy, OneReadOneWritePerChunk)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    temp_dir dir;
    write_source(dir, 250);
    // Only the calls on the two files (-P), whichever descriptors they have: not the loader's
    // reads, nor the writes of a coverage build's counters at exit.
    auto r = run("/usr/bin/strace",
                 {.args = {"-o", dir / "trace", "-e", "trace=read,write", "-P", dir / "src", "-P",
                           dir / "dst", PROGRAM, dir / "src", dir / "dst"},
                  // LeakSanitizer cannot run under ptrace
                  .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    ASSERT_EQ(r.status, 0) << r.err;
    auto trace = read_file(dir / "trace");
    std::vector<std::string> calls;
    std::regex call(R"((read|write)\(\d+, .*, (\d+)\) += (-?\d+))");
    for (std::sregex_iterator it(trace.begin(), trace.end(), call), end; it != end; ++it)
        calls.push_back((*it)[1].str() + " " + (*it)[2].str() + "=" + (*it)[3].str());
    EXPECT_EQ(calls, (std::vector<std::string>{"read 100=100", "write 100=100", "read 100=100",
                                               "write 100=100", "read 100=50", "write 50=50",
                                               "read 100=0"}));
}

TEST(Filecopy, WrongArgumentCountsPrintNothing)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"a"}, {"a", "b", "c"}}) {
        auto r = run(PROGRAM, {.args = args});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("Insuffiecient arguments.\n: ")) << r.err;
    }
}

// A file that cannot be opened: the report names the step, and no destination is created.
struct open_failure {
    const char *label;
    const char *source;
    const char *destination;
    const char *err;
};

class FilecopyOpenFailure : public testing::TestWithParam<open_failure> {};

TEST_P(FilecopyOpenFailure, LeavesNoDestination)
{
    const auto &c = GetParam();
    temp_dir dir;
    write_file(dir / "src", "data");
    auto r = run(PROGRAM, {.args = {dir / c.source, dir / c.destination}});
    EXPECT_EQ(r, (outcome{1, copying(dir / c.source, dir / c.destination), c.err}));
    EXPECT_NE(access((dir / c.destination).c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilecopyOpenFailure,
    testing::Values(open_failure{"MissingSource", "none", "dst",
                                 "Error opening source file: No such file or directory\n"},
                    open_failure{"DestinationInAMissingFolder", "src", "none/dst",
                                 "Error opening destination file: No such file or directory\n"}),
    by_label);

TEST(Filecopy, DirectorySourceIsRefusedBeforeTheDestinationIsTouched)
{
    temp_dir dir;
    write_file(dir / "dst", "keep me");
    auto r = run(PROGRAM, {.args = {dir.path, dir / "dst"}});
    EXPECT_EQ(r, (outcome{1, copying(dir.path, dir / "dst"),
                          "Error opening source file: Is a directory\n"}));
    EXPECT_EQ(read_file(dir / "dst"), "keep me");
}

TEST(Filecopy, ExistingDestinationIsTruncatedAndKeepsItsMode)
{
    temp_dir dir;
    write_file(dir / "src", "short");
    write_file(dir / "dst", std::string(1000, 'x'));
    chmod((dir / "dst").c_str(), 0644);
    auto r = run(PROGRAM, {.args = {dir / "src", dir / "dst"}});
    EXPECT_EQ(r, (outcome{0, success(dir / "src", dir / "dst", 5), ""}));
    EXPECT_EQ(read_file(dir / "dst"), "short");
    EXPECT_EQ(mode_of(dir / "dst"), 0644U);
}

TEST(Filecopy, SameFileIsRefusedAndKeptIntact)
{
    temp_dir dir;
    auto data = write_source(dir, 300);
    ASSERT_EQ(link((dir / "src").c_str(), (dir / "hard").c_str()), 0);
    ASSERT_EQ(symlink((dir / "src").c_str(), (dir / "soft").c_str()), 0);
    for (const char *other : {"src", "hard", "soft"}) {
        auto r = run(PROGRAM, {.args = {dir / "src", dir / other}});
        EXPECT_EQ(r, (outcome{1, copying(dir / "src", dir / other),
                              dir / "src" + " and " + dir / other + " are the same file\n"}));
        EXPECT_TRUE(read_file(dir / "src") == data) << other;
    }
}

// One inode number on two file systems is two files.
TEST(Filecopy, SameInodeNumberOnAnotherFileSystemIsAnotherFile)
{
    temp_dir dir;
    auto r = run_on_two_file_systems(PROGRAM, dir.path, R"("$0" "$1/a/f" "$1/b/f")");
    if (r.status == 99)
        GTEST_SKIP() << "no file system can be mounted here";
    EXPECT_EQ(r, (outcome{0, success(dir / "a/f", dir / "b/f", 2), ""}));
}

// A neighbour swaps the destination for a link to the source just before the program
// opens it: the source must come out whole.
TEST(Filecopy, DestinationSwappedForALinkToTheSourceIsRefused)
{
    SKIP_IF_SANITIZED();
    temp_dir dir;
    auto data = write_source(dir, 300);
    write_file(dir / "dst", "an ordinary file when first looked at");
    ASSERT_EQ(symlink((dir / "src").c_str(), (dir / "link").c_str()), 0);
    auto r = run(PROGRAM, {.args = {dir / "src", dir / "dst"},
                           .env = swap_before("open", 2, dir / "link", dir / "dst")});
    SKIP_UNLESS_INJECTED(r);
    EXPECT_EQ(r, (outcome{1, copying(dir / "src", dir / "dst"),
                          dir / "src" + " and " + dir / "dst" + " are the same file\n"}));
    EXPECT_TRUE(read_file(dir / "src") == data);
}

// Started with standard descriptors closed, the program must keep its files off them: a
// report must never land in the destination, a closed output is still a failure, and a
// closed descriptor named again (/dev/stdin, /dev/stderr) is neither read nor written.
struct closed_streams {
    const char *label;
    std::vector<int> closed;
    std::string source = "src"; // in the test's directory unless absolute
    std::string destination = "dst";
    std::vector<std::string> env; // a fault, or nothing
    int status = 1;
    std::string out; // "copying": the first line, then anything
    std::string err;
    std::size_t copied = 0; // bytes of the source expected in dst, when dst is a file
};

class FilecopyClosedStreams : public testing::TestWithParam<closed_streams> {};

TEST_P(FilecopyClosedStreams, FilesStayClean)
{
    const auto &c = GetParam();
    if (!c.env.empty())
        SKIP_IF_SANITIZED();
    temp_dir dir;
    auto data = write_source(dir, 450);
    auto path = [&](const std::string &name) { return name.starts_with("/") ? name : dir / name; };
    auto r = run(PROGRAM,
                 {.args = {path(c.source), path(c.destination)}, .closed = c.closed, .env = c.env});
    SKIP_UNLESS_INJECTED(r);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (c.out == "copying") {
        EXPECT_TRUE(r.out.starts_with(copying(path(c.source), path(c.destination)))) << r.out;
    }
    if (c.destination == "dst" && c.copied > 0) {
        EXPECT_TRUE(read_file(dir / "dst") == data.substr(0, c.copied));
    }
    if (c.copied == 0) {
        EXPECT_NE(access((dir / "dst").c_str(), F_OK), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilecopyClosedStreams,
    testing::Values(
        // The third read fails, after two chunks have been copied.
        closed_streams{.label = "ReadFailsWithInputAndErrorClosed",
                       .closed = {0, 2},
                       .env = fault("read", 3, EIO),
                       .out = "copying",
                       .copied = 200},
        closed_streams{.label = "OutputClosed",
                       .closed = {1},
                       .err = "Error writing standard output: Bad file descriptor\n",
                       .copied = 450},
        closed_streams{
            .label = "ErrorClosed", .closed = {2}, .status = 0, .out = "copying", .copied = 450},
        closed_streams{.label = "AllClosed", .closed = {0, 1, 2}, .copied = 450},
        closed_streams{.label = "ClosedInputNamedAsSource",
                       .closed = {0},
                       .source = "/dev/stdin",
                       .out = "copying",
                       .err = "Error opening source file: Is a directory\n"},
        closed_streams{.label = "ClosedErrorNamedAsDestination",
                       .closed = {2},
                       .destination = "/dev/stderr",
                       .out = "copying"},
        closed_streams{.label = "ClosedInputCannotBeHeld",
                       .closed = {0},
                       .env = fault("open", 1, EMFILE),
                       .err = "Error opening /: Too many open files\n"}),
    by_label);

// Standard output's own file (`>> log`) takes the report: as the destination it would have the
// report written over the copy, as the source it would copy its own first line. Refused
// before a byte of the copy is written, with nothing but the first line added to the file.
struct standard_output_file {
    const char *label;
    bool as_source;
};

class FilecopyStandardOutputFile : public testing::TestWithParam<standard_output_file> {};

TEST_P(FilecopyStandardOutputFile, IsRefused)
{
    temp_dir dir;
    const std::string log = "l1\nl2\n";
    write_file(dir / "log", log);
    write_source(dir, 300);
    const bool as_source = GetParam().as_source;
    const std::string source = as_source ? dir / "log" : dir / "src";
    const std::string destination = as_source ? dir / "log.bak" : "/dev/stdout";
    int out = open((dir / "log").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(out, 0);
    auto r = run(PROGRAM, {.args = {source, destination}, .stdout_fd = out});
    close(out);
    EXPECT_EQ(r, (outcome{1, "",
                          (as_source ? source : destination) +
                              " and standard output are the same file\n"}));
    EXPECT_EQ(read_file(dir / "log"), log + copying(source, destination));
    EXPECT_NE(access((dir / "log.bak").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, FilecopyStandardOutputFile,
                         testing::Values(standard_output_file{"AsDestination", false},
                                         standard_output_file{"AsSource", true}),
                         by_label);

// Standard output that is no regular file (a pipe, a terminal) holds no copy to lose or empty:
// /dev/stdout takes the copy as it is, after the first line and before the report.
TEST(Filecopy, StandardOutputPipeTakesTheCopy)
{
    temp_dir dir;
    auto data = write_source(dir, 300);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    auto r = run(PROGRAM, {.args = {dir / "src", "/dev/stdout"}, .stdout_fd = ends[1]});
    close(ends[1]);
    std::string out(4096, '\0'); // all of it fits in the pipe
    out.resize(
        static_cast<std::size_t>(std::max(read(ends[0], out.data(), out.size()), ssize_t{0})));
    close(ends[0]);
    EXPECT_EQ(r, (outcome{0, "", ""}));
    EXPECT_TRUE(out ==
                copying(dir / "src", "/dev/stdout") + data + "Successfully written 300 Bytes.\n");
}

// Room for the first line and no more (a size limit, SIGXFSZ ignored): the report that cannot
// be written is a failure. The file already holds a block, so that only its own writes meet
// the limit, not a coverage build's counters.
TEST(Filecopy, ReportThatFindsNoRoomIsAFailure)
{
    temp_dir dir;
    const std::string block(1 << 20, '#');
    write_file(dir / "out", block);
    write_file(dir / "src", "data");
    const auto first_line = copying(dir / "src", dir / "dst");
    int out = open((dir / "out").c_str(), O_WRONLY | O_APPEND);
    auto r = run(PROGRAM, {.args = {dir / "src", dir / "dst"},
                           .stdout_fd = out,
                           .ignored = {SIGXFSZ},
                           .limits = {{RLIMIT_FSIZE, block.size() + first_line.size()}}});
    close(out);
    EXPECT_EQ(r, (outcome{1, "", "Error writing standard output: File too large\n"}));
    EXPECT_TRUE(read_file(dir / "out") == block + first_line);
}

TEST(Filecopy, ShortAndInterruptedCallsStillCopyEverything)
{
    SKIP_IF_SANITIZED();
    temp_dir dir;
    auto data = write_source(dir, 1234);
    for (const auto &env :
         {fault("write", 2, 0, 7), fault("write", 3, EINTR), fault("read", 2, EINTR)}) {
        auto r = run(PROGRAM, {.args = {dir / "src", dir / "dst"}, .env = env});
        SKIP_UNLESS_INJECTED(r);
        EXPECT_EQ(r, (outcome{0, success(dir / "src", dir / "dst", data.size()), ""}));
        EXPECT_TRUE(read_file(dir / "dst") == data);
    }
}

struct failing_call {
    const char *label;
    const char *function;
    int nth;
    const char *err;
};

class FilecopyFailures : public testing::TestWithParam<failing_call> {};

TEST_P(FilecopyFailures, EachStepHasItsMessage)
{
    SKIP_IF_SANITIZED();
    temp_dir dir;
    write_source(dir, 450);
    const auto &c = GetParam();
    auto r =
        run(PROGRAM, {.args = {dir / "src", dir / "dst"}, .env = fault(c.function, c.nth, EIO)});
    SKIP_UNLESS_INJECTED(r);
    EXPECT_EQ(r, (outcome{1, copying(dir / "src", dir / "dst"),
                          std::string(c.err) + "Input/output error\n"}));
}

INSTANTIATE_TEST_SUITE_P(
    Injected, FilecopyFailures,
    testing::Values(failing_call{"read_3", "read", 3, "Error reading file.\n: "},
                    failing_call{"ftruncate_1", "ftruncate", 1, "Error opening destination file: "},
                    failing_call{"write_2", "write", 2, "Error writing file\n: "},
                    failing_call{"close_1", "close", 1, "Error closing file\n: "},
                    failing_call{"close_2", "close", 2, "Error closing file\n: "}),
    by_label);
