// threadhello: hands a record to a POSIX thread, which prints the record's message and
// returns it as its result; the main thread joins it and prints that result.
// 1. The record, a number and a message, made on main's stack.
// 2. The thread started with the record's address (pthread_create, into thread_entry_point),
//    where it prints its lines (puts, printf) and returns the message.
// 3. The main thread waits for its end and takes that result (pthread_join).
// 4. The result and a farewell printed (printf, puts) and written out (fflush).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace {

struct thread_parameter_t {
    int32_t a;
    const char *msg;
};

void *thread_entry_point(void *arg);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    thread_parameter_t param{12345, "Hola mundo!"};
    pthread_t t1;
    // The thread calls return their error number rather than set errno.
    int res = pthread_create(&t1, nullptr, thread_entry_point, &param);
    if (res != 0)
        die("pthread", res);
    void *returned = nullptr;
    res = pthread_join(t1, &returned);
    if (res != 0)
        die("join", res);
    printf("[thread_main]: thread result: %s\n", static_cast<const char *>(returned));
    puts("[thread_main]: bye!");
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0;
}

namespace {

void *thread_entry_point(void *arg)
{
    puts("[thread1]: hullo!");
    const auto *param = static_cast<const thread_parameter_t *>(arg);
    printf("[thread1]: Received message: %s\n", param->msg);
    // A thread's result is an untyped pointer; the text behind it is only ever read.
    return const_cast<char *>(param->msg);
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
