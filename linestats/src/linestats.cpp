// linestats: for every line of standard input, prints its length in bytes and the average
// length of all lines so far. Reads a byte at a time and stores no line, so memory stays
// the same whatever the lines' length.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Pending output first, so that on a merged stream the report follows it.
[[noreturn]] void die(const char *msg)
{
    int error = errno;
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
}

} // namespace

int main()
{
    // 64 bits: no count wraps, however long the input.
    int64_t sum = 0;
    int64_t reads_cnt = 0;
    int64_t line_length = 0;
    int tmp;
    // For speed at every byte: no stream lock, as the program has one thread, and a local
    // copy of stdin, which g++ would otherwise reload after each update of the buffer pointer.
    FILE *in = stdin;
    while ((tmp = getc_unlocked(in)) != EOF) {
        if (tmp != '\n') {
            ++line_length;
            continue;
        }
        ++reads_cnt;
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
