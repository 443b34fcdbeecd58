// filecopy: copies one file to another through the raw descriptor calls, 100 bytes per read,
// and reports how many bytes it copied.
// 1. The first line, written out before any file is opened (printf, fflush).
// 2. The source opened read-only, the destination write-only and created 0600 (open, twice);
//    its O_TRUNC comes later, once it is known to be another file (ftruncate).
// 3. Reads of at most 100 bytes, each written out in full (read; write, in write_all, which
//    writes again for the rest of a short write).
// 4. Both descriptors closed (close, twice), and the total printed (printf, fflush).
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t chunk_size = 100;

void write_all(int fd, const char *data, size_t len);
void hold_standard_descriptors();
struct stat refuse_unfit_source(int fd_sr, const char *sr);
struct stat refuse_same_file(int fd_dst, const struct stat &source, const char *sr,
                             const char *dst);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        die("Insuffiecient arguments.\n");
    hold_standard_descriptors(); // defence: a closed 0, 1 or 2 is no file's number
    const char *sr = argv[1];
    const char *dst = argv[2];
    printf("Copying %s to %s\n", sr, dst);
    fflush(stdout); // out before any file is opened; a failure shows in the last check

    int fd_sr = open(sr, O_RDONLY);
    if (fd_sr == -1)
        die("Error opening source file");
    const struct stat source = refuse_unfit_source(fd_sr, sr); // defence, before dst is touched
    // No O_TRUNC: the destination is emptied below, once it is known to be another file, and
    // only when it is a regular file, as O_TRUNC would (a terminal or a pipe is written as is).
    int fd_dst = open(dst, O_WRONLY | O_CREAT, 0600);
    if (fd_dst == -1)
        die("Error opening destination file");
    const struct stat target = refuse_same_file(fd_dst, source, sr, dst); // defence
    if (S_ISREG(target.st_mode) && ftruncate(fd_dst, 0) == -1)
        die("Error opening destination file"); // the deferred O_TRUNC, told as the open's
    char buff[chunk_size];
    int64_t cnt_tot = 0; // 64 bits: sources of 2 GiB and more are counted too
    ssize_t cnt = 0;
    while ((cnt = read(fd_sr, buff, sizeof buff)) != 0) {
        if (cnt == -1 && errno == EINTR)
            continue; // interrupted before any byte: read again, as write_all writes again
        if (cnt == -1)
            die("Error reading file.\n");
        write_all(fd_dst, buff, static_cast<size_t>(cnt));
        cnt_tot += cnt;
    }
    if (close(fd_dst) == -1 || close(fd_sr) == -1)
        die("Error closing file\n");

    printf("Successfully written %" PRId64 " Bytes.\n", cnt_tot);
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0;
}

namespace {

// The write of each chunk; as a write may take only part of what it is given, it goes on
// until the whole chunk is down.
void write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n == -1) {
            if (errno == EINTR)
                continue;
            die("Error writing file\n");
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

// ---- Defences ----

// A closed standard descriptor: held on the root directory, so that no file takes its
// number and a name for it (/dev/stdin, /dev/stderr) can be neither read nor written.
void hold_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/", O_RDONLY | O_DIRECTORY) == -1)
            die("Error opening /");
}

bool is_same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Two names for one file: told in words, as no call has failed.
[[noreturn]] void die_same_file(const char *first, const char *second)
{
    fflush(stdout);
    fprintf(stderr, "%s and %s are the same file\n", first, second);
    exit(1);
}

// Standard output's own regular file: as a destination it would have the report written over
// the copy, as a source it would copy its own first line.
void refuse_standard_output(const struct stat &file, const char *name)
{
    struct stat output;
    if (S_ISREG(file.st_mode) && fstat(STDOUT_FILENO, &output) == 0 && is_same_file(file, output))
        die_same_file(name, "standard output");
}

// A source that is a directory or standard output's own file: refused before the
// destination is opened, so that nothing is touched.
struct stat refuse_unfit_source(int fd_sr, const char *sr)
{
    struct stat source;
    if (fstat(fd_sr, &source) == -1)
        die("Error opening source file");
    if (S_ISDIR(source.st_mode))
        die("Error opening source file", EISDIR);
    refuse_standard_output(source, sr);
    return source;
}

// A destination that is the source, or standard output's own file: compared through the open
// descriptor, so that a link to the source swapped in after any check of the path is caught.
struct stat refuse_same_file(int fd_dst, const struct stat &source, const char *sr, const char *dst)
{
    struct stat target;
    if (fstat(fd_dst, &target) == -1)
        die("Error opening destination file");
    if (is_same_file(target, source))
        die_same_file(sr, dst);
    refuse_standard_output(target, dst);
    return target;
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
