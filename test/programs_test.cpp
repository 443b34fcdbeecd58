// What every program owes its callers, checked across the whole set: exact output of the
// fixed runs, the reports of failed calls in order with the output before them, and status 1
// whenever standard output cannot be written, however it is buffered.
#include "runner.hpp"

#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>

using namespace testsupport;

namespace {

const std::string no_memory = "Cannot allocate memory\n";
const std::string full = "Error writing standard output: No space left on device\n";
const std::string three_found = "ho trovato substr in str alla posizione 3\n"
                                "ho trovato substr in str alla posizione 73\n"
                                "ho trovato substr in str alla posizione 89\n";

// Every program, each as buffered as it chooses on a device, line-buffered and unbuffered (as
// on a terminal), writing to a full device: the write fails inside a print or at the final
// flush, and either is a failure.
std::vector<row> unwritable()
{
    std::vector<row> rows;
    std::istringstream names(PROGRAMS);
    for (std::string name; names >> name;)
        for (auto [label, mode] : {std::pair{"FullyBuffered", ""},
                                   {"LineBuffered", "stdbuf -oL "},
                                   {"Unbuffered", "stdbuf -o0 "}})
            rows.push_back({name + "_" + label,
                            "echo a > f; printf 'a\\nb\\n' | " + std::string(mode) + name +
                                (name == "filecopy" ? " f /dev/null" : "") + " > /dev/full",
                            1, "", full});
    return rows;
}

// Opened before any test can have changed it: the machine's own.
const int machines_dev_shm = open("/dev/shm", O_PATH | O_DIRECTORY | O_CLOEXEC);

} // namespace

TABLE(FixedRuns, Runs, ExactOutputAndStatus, nullptr,
      {"threadhello", "threadhello", 0,
       "[thread1]: hullo!\n[thread1]: Received message: Hola mundo!\n"
       "[thread_main]: thread result: Hola mundo!\n[thread_main]: bye!\n"},
      {"maxmerge", "maxmerge", 0, "200\n100\n1000\n"},
      {"evenmax", "evenmax", 0, "2"}, // no line end
      {"strjoin", "strjoin", 0, "prima-seconda-terza!"},
      {"contacts", "contacts", 0,
       "person: id=0, name='lara monti', phone='+390000000001'\n"
       "person: id=1, name='ezio landi', phone='+390000000002'\n"});

// On a merged stream (2>&1, a log file) a report follows the lines printed before it; contacts
// tells its failure on standard output, and when that fails too, standard error says so.
INSTANTIATE_TEST_SUITE_P(
    FailedCalls, Runs,
    table({{"threadhello_create_fails", "fault pthread_create 1 EAGAIN threadhello", 1, "",
            "pthread: Resource temporarily unavailable\n"},
           {"maxmerge_malloc_fails", "fault malloc 1 ENOMEM maxmerge", 1, "",
            "error in memory allocation \nCannot allocate array of dimension 0\n: " + no_memory},
           {"strjoin_calloc_fails", "fault calloc 1 ENOMEM strjoin", 1, "",
            "Error allocating memory\n: " + no_memory},
           {"contacts_first_record_fails", "fault malloc 1 ENOMEM contacts", 1,
            "errore in create_contact!\n"},
           {"contacts_second_record_fails", "fault malloc 2 ENOMEM contacts", 1,
            "errore in create_contact!\n"},
           {"contacts_failure_line_unwritable", "fault malloc 1 ENOMEM contacts > /dev/full", 1, "",
            full},
           {"findall_malloc_fails", "fault malloc 1 ENOMEM findall", 1, "", "malloc: " + no_memory},
           {"findall_third_realloc_fails", "fault realloc 3 ENOMEM findall", 1, three_found,
            "realloc: " + no_memory},
           {"findall_third_realloc_fails_merged", "fault realloc 3 ENOMEM findall 2>&1", 1,
            three_found + "realloc: " + no_memory},
           {"filecopy_open_fails_merged", "filecopy /nonexistent/a /nonexistent/b 2>&1", 1,
            "Copying /nonexistent/a to /nonexistent/b\n"
            "Error opening source file: No such file or directory\n"}}),
    by_label);

ROWS(UnwritableOutput, IsAFailure, nullptr)
INSTANTIATE_TEST_SUITE_P(Programs, UnwritableOutput, testing::ValuesIn(unwritable()), by_label);

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
