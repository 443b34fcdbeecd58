// contacts: heap records of a name and a phone number, numbered in order of creation.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t NAME_LEN = 64;
constexpr size_t PHONE_LEN = 20;

struct contact_type {
    int32_t id;
    char name[NAME_LEN + 1];
    char phone[PHONE_LEN + 1];
};

int32_t total_entries = 0; // the id of the next record

// Pending output first, so that on a merged stream the report follows it.
[[noreturn]] void die(const char *msg)
{
    int error = errno;
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
}

// Null when the record cannot be allocated. Text longer than a field is cut to it.
contact_type *create_contact(const char *name, const char *phone)
{
    auto *person = static_cast<contact_type *>(malloc(sizeof(contact_type)));
    if (person == nullptr)
        return nullptr;
    person->id = total_entries++;
    snprintf(person->name, sizeof person->name, "%s", name);
    snprintf(person->phone, sizeof person->phone, "%s", phone);
    return person;
}

void print_contact(const contact_type *person)
{
    printf("person: id=%d, name='%s', phone='%s'\n", person->id, person->name, person->phone);
}

void flush_output()
{
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
}

// The failure is told on standard output; only when that cannot be written does it reach
// standard error.
contact_type *create_or_exit(const char *name, const char *phone)
{
    contact_type *person = create_contact(name, phone);
    if (person == nullptr) {
        puts("errore in create_contact!");
        flush_output();
        exit(1);
    }
    return person;
}

} // namespace

int main()
{
    // Both records exist before anything is printed; they live until the process ends.
    contact_type *first = create_or_exit("lara monti", "+390000000001");
    contact_type *second = create_or_exit("ezio landi", "+390000000002");
    print_contact(first);
    print_contact(second);
    flush_output();
    return 0;
}
