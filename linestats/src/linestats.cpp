// linestats: for every line of standard input, prints its length in bytes and the average
// length of all lines so far. Reads a byte at a time and stores no line, so memory stays
// the same whatever the lines' length.
// 1. Standard input read a byte at a time through stdio's buffer (getchar, as getc_unlocked).
// 2. Each byte before a newline counts one; at the newline the line's length and the average
//    so far are printed (printf) and the length starts again from 0.
// 3. At the end of input a read error is told (ferror), and the output written out (fflush).
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void refuse_reading_own_output();
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    refuse_reading_own_output(); // defence: `linestats < f >> f` would read its own lines
    // 64 bits: no count wraps, however long the input.
    int64_t sum = 0;
    int64_t reads_cnt = 0;
    int64_t line_length = 0;
    int tmp;
    // getc_unlocked(in) is getchar(): the same buffered read, without the stream's lock, which
    // one thread does not need, and from a local copy of stdin, which g++ would otherwise load
    // again after each update of the buffer.
    FILE *in = stdin;
    while ((tmp = getc_unlocked(in)) != EOF) {
        if (tmp != '\n') {
            ++line_length;
            continue; // the line goes on
        }
        ++reads_cnt; // the line is complete
        sum += line_length;
        // Checked at every line, so that a failed write ends the run there.
        if (printf("Length of the last line: %" PRId64 "\n", line_length) < 0 ||
            printf("Avg length up to now: %.2f\n",
                   static_cast<double>(sum) / static_cast<double>(reads_cnt)) < 0)
            die("Error writing standard output");
        line_length = 0;
    }
    if (ferror(stdin))
        die("Error reading standard input");
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0;
}

namespace {

// ---- Defences ----

// Input that is this run's own output, `linestats < f >> f`: it would read its own reports
// back and grow the file until the disk is full. Refused, as cat does, while input is left:
// `linestats < f > f`, emptied by the shell first, is a normal empty run.
void refuse_reading_own_output()
{
    struct stat in;
    struct stat out;
    if (fstat(STDIN_FILENO, &in) == 0 && fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(in.st_mode) &&
        in.st_dev == out.st_dev && in.st_ino == out.st_ino &&
        lseek(STDIN_FILENO, 0, SEEK_CUR) < in.st_size) {
        fputs("standard input and standard output are the same file\n", stderr);
        exit(1);
    }
}

// Pending output first, so that on a merged stream the report follows it.
[[noreturn]] void die(const char *msg, int error)
{
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
}

} // namespace
