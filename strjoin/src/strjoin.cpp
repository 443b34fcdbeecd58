// strjoin: joins three strings into one heap buffer of exactly the size needed.
// 1. The size: the three lengths and one byte for the terminator (strlen).
// 2. A zeroed buffer of exactly that size (calloc).
// 3. The strings copied one after another, each to the end of the last (strcpy, strlen).
// 4. The result printed with no line end (printf), the buffer freed (free), the output
//    written out (fflush).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *str_1 = "prima-";
constexpr const char *str_2 = "seconda-";
constexpr const char *str_3 = "terza!";

[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    size_t size = strlen(str_1) + strlen(str_2) + strlen(str_3) + 1;
    auto *str_new = static_cast<char *>(calloc(size, 1));
    if (str_new == nullptr)
        die("Error allocating memory\n");
    strcpy(str_new, str_1);
    strcpy(str_new + strlen(str_new), str_2);
    strcpy(str_new + strlen(str_new), str_3);
    printf("%s", str_new);
    free(str_new);
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0;
}

namespace {

// ---- Defences ----

// Pending output first, so that on a merged stream the report follows it.
[[noreturn]] void die(const char *msg, int error)
{
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
}

} // namespace
