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

[[noreturn]] void die(const char *msg)
{
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

// Opening the destination truncates it, so anything that would make that destroy the
// source, or leave an empty destination behind for a source that cannot be read, is
// refused while nothing has been touched yet.
void check_source(int fd_sr, const char *sr, const char *dst)
{
    struct stat source;
    if (fstat(fd_sr, &source) == -1)
        die("Error opening source file");
    if (S_ISDIR(source.st_mode)) {
        errno = EISDIR;
        die("Error opening source file");
    }
    struct stat target;
    if (stat(dst, &target) == 0 && target.st_dev == source.st_dev &&
        target.st_ino == source.st_ino) {
        fprintf(stderr, "%s and %s are the same file\n", sr, dst);
        exit(1);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        die("Insuffiecient arguments.\n");
    const char *sr = argv[1];
    const char *dst = argv[2];
    printf("Copying %s to %s\n", sr, dst);

    int fd_sr = open(sr, O_RDONLY);
    if (fd_sr == -1)
        die("Error opening source file");
    check_source(fd_sr, sr, dst);
    int fd_dst = open(dst, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd_dst == -1)
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
    if (fflush(stdout) != 0)
        die("Error writing standard output");
    return 0;
}
