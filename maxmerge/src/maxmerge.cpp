// maxmerge: the element-wise maximum of two integer arrays of one length, in a new heap
// array whose ownership passes to the caller.
// 1. join_arrays_same_length allocates the new array (malloc).
// 2. It fills each index with the greater of the two elements there and returns the array.
// 3. main prints it one number a line (printf), written out (fflush); the block is left to the
//    process's end.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

int *join_arrays_same_length(const int *array1, const int *array2, int array_len);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    constexpr int array_len = 3;
    const int array1[array_len] = {10, 100, 1000};
    const int array2[array_len] = {200, -1, 90};
    int *array3 = join_arrays_same_length(array1, array2, array_len);
    for (int i = 0; i < array_len; ++i)
        printf("%d\n", array3[i]);
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0; // array3 lives until the process ends
}

namespace {

// The heap block is what this program shows: inlined into main, it would be folded away
// (clang++ does), its failure path with it.
[[gnu::noinline]] int *join_arrays_same_length(const int *array1, const int *array2, int array_len)
{
    // Widened with its sign: a negative length asks for an impossible size, and the
    // allocation fails before either array is read.
    auto *array3 = static_cast<int *>(malloc(static_cast<size_t>(array_len) * sizeof(int)));
    if (array3 == nullptr)
        die("error in memory allocation \nCannot allocate array of dimension 0\n");
    for (int i = 0; i < array_len; ++i)
        array3[i] = array1[i] > array2[i] ? array1[i] : array2[i];
    return array3;
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
