// What every program owes its callers, checked across the whole set: exact output of the
// fixed runs, status 1 when standard output cannot be written, and the reports of failed calls.
#include "runner.hpp"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace testsupport;

namespace {

std::string program(const std::string &name)
{
    return std::string(BIN_DIR) + "/" + name;
}

struct expected_run {
    const char *name;
    std::vector<std::string> env; // empty: a plain run
    std::string out;
    std::string err;
    int status;
};

void PrintTo(const expected_run &e, std::ostream *os)
{
    *os << e.name << (e.env.empty() ? "" : " with a fault");
}

const std::string no_memory = "Cannot allocate memory\n";

} // namespace

class Runs : public testing::TestWithParam<expected_run> {};

TEST_P(Runs, ExactOutputAndStatus)
{
    const auto &e = GetParam();
    if (!e.env.empty())
        SKIP_IF_SANITIZED();
    auto r = run(program(e.name), {.env = e.env});
    EXPECT_EQ(r.out, e.out);
    EXPECT_EQ(r.err, e.err);
    EXPECT_EQ(r.status, e.status);
}

INSTANTIATE_TEST_SUITE_P(
    FixedRuns, Runs,
    testing::Values(expected_run{"threadhello",
                                 {},
                                 "[thread1]: hullo!\n[thread1]: Received message: Hola mundo!\n"
                                 "[thread_main]: thread result: Hola mundo!\n[thread_main]: bye!\n",
                                 "",
                                 0},
                    expected_run{"maxmerge", {}, "200\n100\n1000\n", "", 0},
                    expected_run{"evenmax", {}, "2", "", 0}, // no line end
                    expected_run{"strjoin", {}, "prima-seconda-terza!", "", 0},
                    expected_run{"contacts",
                                 {},
                                 "person: id=0, name='lara monti', phone='+390000000001'\n"
                                 "person: id=1, name='ezio landi', phone='+390000000002'\n",
                                 "",
                                 0}));

INSTANTIATE_TEST_SUITE_P(
    FailedCalls, Runs,
    testing::Values(
        expected_run{"threadhello", fault("pthread_create", 1, EAGAIN), "",
                     "pthread: Resource temporarily unavailable\n", 1},
        expected_run{
            "maxmerge", fault("malloc", 1, ENOMEM), "",
            "error in memory allocation \nCannot allocate array of dimension 0\n: " + no_memory, 1},
        expected_run{"strjoin", fault("calloc", 1, ENOMEM), "",
                     "Error allocating memory\n: " + no_memory, 1},
        expected_run{"contacts", fault("malloc", 1, ENOMEM), "errore in create_contact!\n", "", 1},
        expected_run{"contacts", fault("malloc", 2, ENOMEM), "errore in create_contact!\n", "", 1},
        expected_run{"findall", fault("malloc", 1, ENOMEM), "", "malloc: " + no_memory, 1},
        expected_run{"findall", fault("realloc", 3, ENOMEM),
                     "ho trovato substr in str alla posizione 3\n"
                     "ho trovato substr in str alla posizione 73\n"
                     "ho trovato substr in str alla posizione 89\n",
                     "realloc: " + no_memory, 1}));

// A failure to write the results must not be reported as success.
class UnwritableOutput : public testing::TestWithParam<const char *> {};

TEST_P(UnwritableOutput, IsAFailure)
{
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    std::vector<std::string> args;
    if (GetParam() == std::string("filecopy"))
        args = {program("filecopy"), "/dev/null"}; // the binary itself, a file that surely exists
    auto r = run(program(GetParam()), {.args = args, .input = "a\nb\n", .stdout_fd = full});
    close(full);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n");
}

INSTANTIATE_TEST_SUITE_P(Programs, UnwritableOutput,
                         testing::Values("proctree", "threadhello", "filecopy", "linestats",
                                         "maxmerge", "evenmax", "sortdemo", "findall", "strjoin",
                                         "contacts"));
