#include "runner.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <unistd.h>

using namespace testsupport;

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

} // namespace

// Each completed line is reported, whatever its bytes; an unfinished last line is not. Standard
// input and output may be one file only where nothing of it is left to read back: `> f` empties
// it first; an inode number that another file system also has is another file.
TABLE(Inputs, LinestatsExamples, ReportsCompletedLines, nullptr, {"EmptyInput", "linestats", 0, ""},
      {"NoNewline", "printf %10000s | linestats", 0, ""},
      {"EmptyLineCounts", R"(printf 'abcd\n\n' | linestats)", 0, report({4, 0})},
      {"UnterminatedLastLine", R"(printf 'ab\ncd\nunfinished' | linestats)", 0, report({2, 2})},
      {"CarriageReturnCounts", R"(printf 'ab\r\nab\n' | linestats)", 0, report({3, 2})},
      {"NulAndFF", R"(printf 'a\0b\xff\n\xff\n' | linestats)", 0, report({4, 1})},
      {"Utf8CountsBytes", R"(printf '\xc3\xa8\n' | linestats)", 0, report({2})},
      {"AveragesKeepTheirFraction", R"(printf 'hello\n\nab\n' | linestats)", 0,
       "Length of the last line: 5\nAvg length up to now: 5.00\n"
       "Length of the last line: 0\nAvg length up to now: 2.50\n"
       "Length of the last line: 2\nAvg length up to now: 2.33\n"},
      {"OwnOutputEmptiedFirst", R"(printf '1\n22\n' > f; linestats < f > f; also cat f)", 0},
      {"SameInodeNumberOnAnotherFileSystem", "twofs 'linestats < a/f >> b/f'", 0});

// A failure ends the run at once: an output that cannot be written, on an endless input too,
// an input that cannot be read, and `linestats < f >> f`, which would read its own reports and
// grow f until the disk is full (the limit stops a run that does), refused with f unchanged.
TABLE(Outputs, LinestatsFailures, StopTheRun, nullptr,
      {"FullDevice", "yes | linestats > /dev/full; exit ${PIPESTATUS[1]}", 1, "",
       "Error writing standard output: No space left on device\n"},
      {"ClosedPipeWithSigpipeIgnored",
       "trap '' PIPE; yes 2> /dev/null | linestats | :; exit ${PIPESTATUS[1]}", 1, "",
       "Error writing standard output: Broken pipe\n"},
      {"ReadError", "linestats < /", 1, "", "Error reading standard input: Is a directory\n"},
      {"OwnOutputAppended", R"(printf '1\n22\n' > f; ulimit -f 64; linestats < f >> f; also cat f)",
       1, "1\n22\n", "standard input and standard output are the same file\n"});

TEST(Linestats, RandomStreamsMatchTheOracle)
{
    std::mt19937 gen(42); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same streams every run
    temp_dir dir;
    for (int round = 0; round < 20; ++round) {
        std::uniform_int_distribution<int> size(0, 20000);
        // Newline-heavy alphabets too, so that empty lines and long runs both occur.
        std::uniform_int_distribution<int> byte(0, round % 2 == 0 ? 255 : 12);
        std::string input(static_cast<std::size_t>(size(gen)), '\0');
        for (auto &c : input)
            c = static_cast<char>(round % 2 == 0 ? byte(gen) : byte(gen) < 3 ? '\n' : 'x');
        write_file(dir / "in", input);
        auto r = run({"/bin/sh", "-c", "linestats < in"}, {.dir = dir.path});
        ASSERT_EQ(r.status, 0) << "round " << round;
        ASSERT_TRUE(r.out == oracle(input) && r.err.empty()) << "round " << round;
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
    auto r = run({PROGRAM}, {.stdin_fd = program_side, .stdout_fd = program_side});
    close(program_side);
    close(terminal);
    expect(r, {"", "", 0, "", ""});
}
