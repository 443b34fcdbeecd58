// contacts: heap records of a name and a phone number, numbered in order of creation.
// 1. create_contact allocates a record (malloc) and gives it the next id of a run-wide counter.
// 2. It copies the name and the phone number in, each cut to its field (snprintf).
// 3. main makes both records, then prints each (print_contact, printf), written out (fflush).
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

contact_type *create_contact(const char *name, const char *phone);
void print_contact(const contact_type *person);
[[noreturn]] void die_uncreated();
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    // Both records exist before anything is printed; they live until the process ends.
    contact_type *first = create_contact("lara monti", "+390000000001");
    if (first == nullptr)
        die_uncreated();
    contact_type *second = create_contact("ezio landi", "+390000000002");
    if (second == nullptr)
        die_uncreated();
    print_contact(first);
    print_contact(second);
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0;
}

namespace {

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

// ---- Defences ----

// A record that cannot be created: told on standard output; only when that cannot be
// written does it reach standard error.
[[noreturn]] void die_uncreated()
{
    puts("errore in create_contact!");
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    exit(1);
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
