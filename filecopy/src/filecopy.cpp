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

// Pending standard output goes out first, so that on a merged stream the report follows
// the lines printed before it; that write may fail too, and changes nothing now.
[[noreturn]] void die(const char *msg)
{
    int error = errno;
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
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

// Started with standard input, output or error closed, the program would be handed those
// numbers for its files, and a diagnostic would be written into one of them. Each closed one
// is held on /dev/null, read-only, so that writing to it still fails as on a closed one.
void hold_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDONLY) == -1)
            die("Error opening /dev/null");
}

// A directory is refused before the destination is opened, so that nothing is touched.
struct stat source_status(int fd_sr)
{
    struct stat source;
    if (fstat(fd_sr, &source) == -1)
        die("Error opening source file");
    if (S_ISDIR(source.st_mode)) {
        errno = EISDIR;
        die("Error opening source file");
    }
    return source;
}

// The destination was opened without truncation and is compared with the source through the
// two descriptors: a path checked first and opened after could be swapped in between for a
// link to the source. Only then is it emptied, and only when it is a regular file, as
// O_TRUNC would (a terminal or a pipe is written as it is).
void empty_destination(int fd_dst, const struct stat &source, const char *sr, const char *dst)
{
    struct stat target;
    if (fstat(fd_dst, &target) == -1)
        die("Error opening destination file");
    if (target.st_dev == source.st_dev && target.st_ino == source.st_ino) {
        fflush(stdout);
        fprintf(stderr, "%s and %s are the same file\n", sr, dst);
        exit(1);
    }
    if (S_ISREG(target.st_mode) && ftruncate(fd_dst, 0) == -1)
        die("Error opening destination file");
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

    int fd_sr = open(sr, O_RDONLY);
    if (fd_sr == -1)
        die("Error opening source file");
    struct stat source = source_status(fd_sr);
    int fd_dst = open(dst, O_WRONLY | O_CREAT, 0600);
    if (fd_dst == -1)
        die("Error opening destination file");
    empty_destination(fd_dst, source, sr, dst);

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
