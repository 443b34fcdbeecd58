// evenmax: the index of the greatest element among the even positions of an array.
// 1. find_max_even_positions starts from index 0 and looks at 2, 4 and so on only.
// 2. A greater element takes the position; a tie keeps the lower index.
// 3. main prints the index with no line end (printf), written out (fflush).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

int find_max_even_positions(const int *array, int array_size);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    const int arr[] = {0, 100, 7, 50, -45};
    constexpr int arr_size{std::size(arr)}; // braces: the compiler checks that the count fits
    printf("%d", find_max_even_positions(arr, arr_size));
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0;
}

namespace {

// -1 for an empty array, which has no position to give; ties keep the lowest index.
int find_max_even_positions(const int *array, int array_size)
{
    if (array_size < 1)
        return -1;
    int max = array[0];
    int max_pos = 0;
    for (int i = 2; i < array_size; i += 2) {
        if (array[i] > max) {
            max = array[i];
            max_pos = i;
        }
    }
    return max_pos;
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
