// Routines are called directly: the program's source is compiled in, after every other
// header, with its main renamed so that GoogleTest's runs.
#include "runner.hpp"

#include <memory>

#define main contacts_main
#include "contacts.cpp" // NOLINT(bugprone-suspicious-include)
#undef main

namespace {

struct free_deleter {
    void operator()(contact_type *p) const { free(p); }
};
using contact_ptr = std::unique_ptr<contact_type, free_deleter>;

} // namespace

TEST(CreateContact, IdsFollowTheOrderOfCreation)
{
    total_entries = 0;
    for (int id : {0, 1, 2}) // the same fields again are another record
        EXPECT_EQ(contact_ptr(create_contact(id == 1 ? "amy" : "zed", "1"))->id, id);
    EXPECT_EQ(total_entries, 3);
}

struct fields {
    const char *label;
    std::string name, phone, kept_name, kept_phone; // given, then stored
};

class CreateContactFields : public testing::TestWithParam<fields> {};

TEST_P(CreateContactFields, StoresWhatFitsAndNothingPastTheField)
{
    const auto &f = GetParam();
    total_entries = 7;
    contact_ptr person(create_contact(f.name.c_str(), f.phone.c_str()));
    ASSERT_NE(person, nullptr);
    EXPECT_EQ(std::string(person->name) + "|" + person->phone, f.kept_name + "|" + f.kept_phone);
    testing::internal::CaptureStdout();
    print_contact(person.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "person: id=7, name='" + f.kept_name + "', phone='" + f.kept_phone + "'\n");
}

// append rather than +: g++ 12 warns falsely about the + at LTO link time
INSTANTIATE_TEST_SUITE_P(
    Lengths, CreateContactFields,
    testing::Values(fields{"Exact", std::string(64, 'n'), std::string(20, '9'),
                           std::string(64, 'n'), std::string(20, '9')},
                    fields{"Empty", "", "", "", ""},
                    fields{"LeadingPlusAndZeros", "a b", "+0039", "a b", "+0039"},
                    fields{"Overlong", std::string(65, 'n').append("tail"), std::string(30, '9'),
                           std::string(64, 'n'), std::string(20, '9')}),
    testsupport::by_label);
