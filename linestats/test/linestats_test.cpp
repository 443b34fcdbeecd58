#include "runner.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <unistd.h>

using namespace testsupport;
using namespace std::chrono;

namespace {

std::string report(const std::vector<long> &lengths)
{
    std::string out;
    long sum = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        sum += lengths[i];
        char buf[128];
        std::snprintf(buf, sizeof buf, "Length of the last line: %ld\nAvg length up to now: %.2f\n",
                      lengths[i], static_cast<double>(sum) / static_cast<double>(i + 1));
        out += buf;
    }
    return out;
}

// What the filter must print for `input`, worked out independently of its loop.
std::string oracle(const std::string &input)
{
    std::vector<long> lengths;
    std::size_t start = 0;
    for (std::size_t nl; (nl = input.find('\n', start)) != std::string::npos; start = nl + 1)
        lengths.push_back(static_cast<long>(nl - start));
    return report(lengths);
}

struct example {
    const char *label;
    std::string input;
    std::vector<long> lengths;
};

} // namespace

class LinestatsExamples : public testing::TestWithParam<example> {};

TEST_P(LinestatsExamples, ReportsCompletedLines)
{
    const auto &e = GetParam();
    EXPECT_EQ(run(PROGRAM, {.input = e.input}), (outcome{0, report(e.lengths), ""}));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, LinestatsExamples,
    testing::Values(example{"EmptyInput", "", {}},
                    example{"NoNewline", std::string(10000, 'x'), {}},
                    example{"EmptyLineCounts", "abcd\n\n", {4, 0}},
                    example{"UnterminatedLastLine", "ab\ncd\nunfinished", {2, 2}},
                    example{"CarriageReturnCounts", "ab\r\nab\n", {3, 2}},
                    example{"NulAndFF", std::string("a\0b\xff\n\xff\n", 7), {4, 1}},
                    example{"Utf8CountsBytes", "\xc3\xa8\n", {2}}),
    by_label);

TEST(Linestats, AveragesKeepTheirFraction)
{
    auto r = run(PROGRAM, {.input = "hello\n\nab\n"});
    EXPECT_EQ(r.out, "Length of the last line: 5\nAvg length up to now: 5.00\n"
                     "Length of the last line: 0\nAvg length up to now: 2.50\n"
                     "Length of the last line: 2\nAvg length up to now: 2.33\n");
}

TEST(Linestats, RandomStreamsMatchTheOracle)
{
    std::mt19937 gen(42); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same streams every run
    for (int round = 0; round < 20; ++round) {
        std::uniform_int_distribution<int> size(0, 20000);
        // Newline-heavy alphabets too, so that empty lines and long runs both occur.
        std::uniform_int_distribution<int> byte(0, round % 2 == 0 ? 255 : 12);
        std::string input(static_cast<std::size_t>(size(gen)), '\0');
        for (auto &c : input)
            c = static_cast<char>(round % 2 == 0 ? byte(gen) : byte(gen) < 3 ? '\n' : 'x');
        ASSERT_EQ(run(PROGRAM, {.input = input}), (outcome{0, oracle(input), ""}))
            << "round " << round;
    }
}

// An endless input whose output cannot be written: the failure must end the run at the
// line where it happens, not after an input that never ends.
struct endless {
    const char *label;
    const char *pipeline; // bash; "$0" is the program, `status` its exit status
    const char *err;
};

class LinestatsEndlessInput : public testing::TestWithParam<endless> {};

TEST_P(LinestatsEndlessInput, StopsAtTheFailedWrite)
{
    const auto &e = GetParam();
    std::string script = std::string(e.pipeline) + "; exit $status";
    auto r = run("/bin/bash", {.args = {"-c", script, PROGRAM}, .timeout = seconds(10)});
    EXPECT_EQ(r, (outcome{1, "", e.err}));
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, LinestatsEndlessInput,
    testing::Values(endless{"FullDevice", R"(yes | "$0" > /dev/full; status=${PIPESTATUS[1]})",
                            "Error writing standard output: No space left on device\n"},
                    endless{"ClosedPipeWithSigpipeIgnored",
                            R"(trap '' PIPE; yes 2> /dev/null | "$0" | :; status=${PIPESTATUS[1]})",
                            "Error writing standard output: Broken pipe\n"}),
    by_label);

TEST(Linestats, ReadErrorIsAFailure)
{
    int dir = open("/", O_RDONLY | O_DIRECTORY);
    auto r = run(PROGRAM, {.stdin_fd = dir});
    close(dir);
    EXPECT_EQ(r, (outcome{1, "", "Error reading standard input: Is a directory\n"}));
}

// `linestats < f >> f` would read its own reports and grow f until the disk is full: refused
// with f unchanged. `linestats < f > f` finds f emptied by the shell and is a normal run.
TEST(Linestats, OwnOutputIsNeverReadBack)
{
    temp_dir dir;
    for (int flags : {O_APPEND, O_TRUNC}) {
        write_file(dir / "f", "1\n22\n");
        int out = open((dir / "f").c_str(), O_WRONLY | flags);
        int in = open((dir / "f").c_str(), O_RDONLY);
        auto r = run(PROGRAM, {.stdin_fd = in, .stdout_fd = out, .timeout = seconds(5)});
        close(in);
        close(out);
        const bool appended = flags == O_APPEND;
        EXPECT_EQ(
            r, (outcome{appended ? 1 : 0, "",
                        appended ? "standard input and standard output are the same file\n" : ""}));
        EXPECT_EQ(read_file(dir / "f"), appended ? "1\n22\n" : "");
    }
}

// A terminal, standard input and output of a run typed at it, is one file that is never read
// back: a normal run.
TEST(Linestats, TerminalAsInputAndOutputIsANormalRun)
{
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal) | unlockpt(terminal), 0);
    int program_side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(program_side, 0);
    ASSERT_EQ(write(terminal, "ab\n\x04", 4), 4); // a line, then the end-of-file character
    auto r =
        run(PROGRAM, {.stdin_fd = program_side, .stdout_fd = program_side, .timeout = seconds(5)});
    close(program_side);
    close(terminal);
    EXPECT_EQ(r, (outcome{0, "", ""}));
}

// One inode number on two file systems is two files.
TEST(Linestats, SameInodeNumberOnAnotherFileSystemIsAnotherFile)
{
    temp_dir dir;
    auto r = run_on_two_file_systems(PROGRAM, dir.path, R"("$0" < "$1/a/f" >> "$1/b/f")");
    if (r.status == 99)
        GTEST_SKIP() << "no file system can be mounted here";
    EXPECT_EQ(r, (outcome{0, "", ""}));
}
