// sortdemo: exchanges two integers through their addresses, lists an array, sorts it with
// qsort and a three-way comparison, and lists it again.
// 1. swap exchanges a and the array's first element through their addresses.
// 2. Forty lines of a and an element printed (printf), 0 past the array's end.
// 3. The array sorted (qsort), which calls qsort_int_cmp, which hands the two elements to
//    int_cmp as ints.
// 4. The sorted array printed (printf), written out (fflush).
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int b_len = 11;
constexpr int first_listing_lines = 40;

void swap(int *a, int *b);
int qsort_int_cmp(const void *a, const void *b);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    int a = 0;
    int b[b_len] = {1, 23, 54235, 1, 42, 456, 52, 1, 5154, 674, 21};
    swap(&a, &b[0]);
    // The listing runs past the array's end; those lines show 0 rather than read beyond it.
    for (int i = 0; i < first_listing_lines; ++i)
        printf("%d %d\n", a, i < b_len ? b[i] : 0);
    qsort(b, b_len, sizeof b[0], qsort_int_cmp);
    for (int i = 0; i < b_len; ++i)
        printf("%d\n", b[i]);
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0;
}

namespace {

void swap(int *a, int *b)
{
    int tmp = *a;
    *a = *b;
    *b = tmp;
}

// Exactly -1, 0 or 1: a difference of the two values could overflow.
int int_cmp(const int *a, const int *b)
{
    if (*a == *b)
        return 0;
    return *a > *b ? 1 : -1;
}

int qsort_int_cmp(const void *a, const void *b)
{
    return int_cmp(static_cast<const int *>(a), static_cast<const int *>(b));
}

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
