// filecopy: copies one file to another through the raw descriptor calls, 100 bytes per
// read, and reports how many bytes it copied.
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

// Pending output first, so that on a merged stream the report follows it.
[[noreturn]] void die(const char *msg)
{
    int error = errno;
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
}

// A closed standard descriptor is held on the root directory, so that no file takes its
// number and a name for it (/dev/stdin, /dev/stderr) can be neither read nor written.
void hold_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/", O_RDONLY | O_DIRECTORY) == -1)
            die("Error opening /");
}

struct stat status_of(int fd, const char *msg)
{
    struct stat st;
    if (fstat(fd, &st) == -1)
        die(msg);
    return st;
}

[[noreturn]] void same_file(const char *first, const char *second)
{
    fflush(stdout);
    fprintf(stderr, "%s and %s are the same file\n", first, second);
    exit(1);
}

bool same(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Standard output's own regular file takes the report: as a destination it would have the
// report written over the copy, as a source it would copy its own first line.
void refuse_standard_output(const struct stat &file, const char *name)
{
    struct stat output;
    if (S_ISREG(file.st_mode) && fstat(STDOUT_FILENO, &output) == 0 && same(file, output))
        same_file(name, "standard output");
}

// Refused before the destination is opened, so that nothing is touched.
struct stat source_status(int fd_sr, const char *sr)
{
    struct stat source = status_of(fd_sr, "Error opening source file");
    if (S_ISDIR(source.st_mode)) {
        errno = EISDIR;
        die("Error opening source file");
    }
    refuse_standard_output(source, sr);
    return source;
}

// Compared through the open descriptor, so that a link to the source swapped in after any
// check of the path is caught.
void refuse_same_file(const struct stat &target, const struct stat &source, const char *sr,
                      const char *dst)
{
    if (same(target, source))
        same_file(sr, dst);
    refuse_standard_output(target, dst);
}

// A write may take only part of what it is given: go on until the whole chunk is down.
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

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        die("Insuffiecient arguments.\n");
    hold_standard_descriptors();
    const char *sr = argv[1];
    const char *dst = argv[2];
    printf("Copying %s to %s\n", sr, dst);
    fflush(stdout); // out before any file is opened; a failure shows in the last check

    int fd_sr = open(sr, O_RDONLY);
    if (fd_sr == -1)
        die("Error opening source file");
    struct stat source = source_status(fd_sr, sr);
    // No O_TRUNC: the destination is emptied only once it is known to be another file.
    int fd_dst = open(dst, O_WRONLY | O_CREAT, 0600);
    if (fd_dst == -1)
        die("Error opening destination file");
    struct stat target = status_of(fd_dst, "Error opening destination file");
    refuse_same_file(target, source, sr, dst);
    // As O_TRUNC would: a regular file only, so that a terminal or a pipe is written as it is.
    if (S_ISREG(target.st_mode) && ftruncate(fd_dst, 0) == -1)
        die("Error opening destination file");
    char buff[chunk_size];
    int64_t cnt_tot = 0; // 64 bits: sources of 2 GiB and more are counted too
    for (;;) {
        ssize_t cnt = read(fd_sr, buff, sizeof buff);
        if (cnt == 0)
            break;
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
