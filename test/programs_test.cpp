// What every program owes its callers, checked across the whole set: exact output of the
// fixed runs, the reports of failed calls in order with the output before them, and status 1
// whenever standard output cannot be written, however it is buffered.
#include "runner.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

std::string program(const std::string &name)
{
    return std::string(BIN_DIR) + "/" + name;
}

// Every program, as the build lists them.
std::vector<std::string> all_programs()
{
    std::vector<std::string> names;
    std::istringstream in(PROGRAMS);
    for (std::string name; in >> name;)
        names.push_back(name);
    return names;
}

struct expected_run {
    const char *label;
    const char *name;
    std::vector<std::string> env; // empty: a plain run
    std::string out;              // with standard error in it when merged
    std::string err;
    int status = 0;
    bool merged = false; // standard error goes where standard output goes (2>&1, a log file)
};

const std::string no_memory = "Cannot allocate memory\n";

// Opened before any test can have changed it: the machine's own.
const int machines_dev_shm = open("/dev/shm", O_PATH | O_DIRECTORY | O_CLOEXEC);

} // namespace

class Runs : public testing::TestWithParam<expected_run> {};

TEST_P(Runs, ExactOutputAndStatus)
{
    const auto &e = GetParam();
    if (!e.env.empty())
        SKIP_IF_SANITIZED();
    auto r = run(program(e.name), {.merged = e.merged, .env = e.env});
    SKIP_UNLESS_INJECTED(r);
    EXPECT_EQ(r, (outcome{e.status, e.out, e.err}));
}

INSTANTIATE_TEST_SUITE_P(
    FixedRuns, Runs,
    testing::Values(
        expected_run{.label = "threadhello",
                     .name = "threadhello",
                     .out = "[thread1]: hullo!\n[thread1]: Received message: Hola mundo!\n"
                            "[thread_main]: thread result: Hola mundo!\n[thread_main]: bye!\n"},
        expected_run{.label = "maxmerge", .name = "maxmerge", .out = "200\n100\n1000\n"},
        expected_run{.label = "evenmax", .name = "evenmax", .out = "2"}, // no line end
        expected_run{.label = "strjoin", .name = "strjoin", .out = "prima-seconda-terza!"},
        expected_run{.label = "contacts",
                     .name = "contacts",
                     .out = "person: id=0, name='lara monti', phone='+390000000001'\n"
                            "person: id=1, name='ezio landi', phone='+390000000002'\n"}),
    by_label);

const std::string three_found = "ho trovato substr in str alla posizione 3\n"
                                "ho trovato substr in str alla posizione 73\n"
                                "ho trovato substr in str alla posizione 89\n";

INSTANTIATE_TEST_SUITE_P(
    FailedCalls, Runs,
    testing::Values(
        expected_run{"threadhello_create_fails", "threadhello", fault("pthread_create", 1, EAGAIN),
                     "", "pthread: Resource temporarily unavailable\n", 1},
        expected_run{
            "maxmerge_malloc_fails", "maxmerge", fault("malloc", 1, ENOMEM), "",
            "error in memory allocation \nCannot allocate array of dimension 0\n: " + no_memory, 1},
        expected_run{"strjoin_calloc_fails", "strjoin", fault("calloc", 1, ENOMEM), "",
                     "Error allocating memory\n: " + no_memory, 1},
        expected_run{"contacts_first_record_fails", "contacts", fault("malloc", 1, ENOMEM),
                     "errore in create_contact!\n", "", 1},
        expected_run{"contacts_second_record_fails", "contacts", fault("malloc", 2, ENOMEM),
                     "errore in create_contact!\n", "", 1},
        expected_run{"findall_malloc_fails", "findall", fault("malloc", 1, ENOMEM), "",
                     "malloc: " + no_memory, 1},
        expected_run{"findall_third_realloc_fails", "findall", fault("realloc", 3, ENOMEM),
                     three_found, "realloc: " + no_memory, 1},
        // On a merged stream the report follows the lines printed before it.
        expected_run{"findall_third_realloc_fails_merged", "findall", fault("realloc", 3, ENOMEM),
                     three_found + "realloc: " + no_memory, "", 1, true}),
    by_label);

// On a merged stream (2>&1, a log file) a report follows the lines printed before it.
TEST(MergedStreams, ReportFollowsTheLinesBeforeIt)
{
    auto r =
        run(program("filecopy"), {.args = {"/nonexistent/a", "/nonexistent/b"}, .merged = true});
    EXPECT_EQ(r, (outcome{1,
                          "Copying /nonexistent/a to /nonexistent/b\n"
                          "Error opening source file: No such file or directory\n",
                          ""}));
}

// The tests that run proctree or semrelay each have a /dev/shm of their own, so that no other
// run's semaphores meet theirs; where this machine allows none, they take turns on a lock
// instead, and this test says so.
TEST(SemaphoreNames, AreEachTestsOwn)
{
    ASSERT_GE(machines_dev_shm, 0);
    if (!own_semaphore_names())
        GTEST_SKIP() << "no /dev/shm of their own here: the tests that run proctree or semrelay "
                     << "take turns on " << semaphore_names_lock;
    struct stat mine {};
    struct stat machines {};
    ASSERT_EQ(stat("/dev/shm", &mine), 0);
    ASSERT_EQ(fstat(machines_dev_shm, &machines), 0);
    EXPECT_NE(mine.st_dev, machines.st_dev);
    EXPECT_EQ(mine.st_mode & 07777, 01777U) << "the sticky bit, as /dev/shm has it";
}

// contacts tells its failure on standard output; when that fails too, standard error says so.
TEST(ContactsFailureLine, IsReportedWhenItCannotBeWritten)
{
    SKIP_IF_SANITIZED();
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    auto r = run(program("contacts"), {.stdout_fd = full, .env = fault("malloc", 1, ENOMEM)});
    close(full);
    SKIP_UNLESS_INJECTED(r);
    EXPECT_EQ(r, (outcome{1, "", "Error writing standard output: No space left on device\n"}));
}

// A failure to write the results is a failure, whether the write fails inside a print
// (line-buffered or unbuffered output, as on a terminal) or at the final flush.
struct buffering {
    const char *label;
    const char *stdbuf_mode; // empty: the stream's own choice, full buffering on a device
};

class UnwritableOutput : public testing::TestWithParam<std::tuple<std::string, buffering>> {};

TEST_P(UnwritableOutput, IsAFailure)
{
    const auto &[name, mode] = GetParam();
    if (name == "proctree" || name == "semrelay")
        own_semaphore_names();
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    std::vector<std::string> command{program(name)};
    if (name == "filecopy") // the binary itself, a file that surely exists
        command.insert(command.end(), {program("filecopy"), "/dev/null"});
    if (*mode.stdbuf_mode != '\0')
        command.insert(command.begin(), {"/usr/bin/stdbuf", mode.stdbuf_mode});
    // stdbuf preloads its library ahead of the sanitizer runtime, which AddressSanitizer
    // would otherwise refuse.
    auto r = run(command.front(), {.args = {command.begin() + 1, command.end()},
                                   .input = "a\nb\n",
                                   .stdout_fd = full,
                                   .env = {"ASAN_OPTIONS=verify_asan_link_order=0"}});
    close(full);
    EXPECT_EQ(r, (outcome{1, "", "Error writing standard output: No space left on device\n"}));
}

INSTANTIATE_TEST_SUITE_P(Programs, UnwritableOutput,
                         testing::Combine(testing::ValuesIn(all_programs()),
                                          testing::Values(buffering{"FullyBuffered", ""},
                                                          buffering{"LineBuffered", "-oL"},
                                                          buffering{"Unbuffered", "-o0"})),
                         [](const auto &info) {
                             return std::get<0>(info.param) + "_" + std::get<1>(info.param).label;
                         });
