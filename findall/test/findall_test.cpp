// Routines are called directly: the program's source is compiled in, after every other
// header, with its main renamed so that GoogleTest's runs.
#include "runner.hpp"

#define main findall_main
#include "findall.cpp" // NOLINT(bugprone-suspicious-include)
#undef main

using namespace testsupport;

TEST(Findall, FixedRun)
{
    const int positions[] = {3,   73,  89,  91,  93,  96,  98,  100, 102, 105, 107,
                             109, 112, 114, 116, 118, 121, 123, 126, 128, 130};
    const char *excerpts[] = {"em ipsum d", "empor inci", "emememeeme", "ememeememe", "emeemememe",
                              "ememememee", "emememeeme", "ememeememe", "emeemememe", "emememeeme",
                              "ememeememe", "emeemememe", "ememememee", "emememeeme", "ememeememe",
                              "emeememeem", "ememeememe", "emeememem",  "ememem",     "emem",
                              "em"};
    std::string expected;
    for (int p : positions)
        expected += "ho trovato substr in str alla posizione " + std::to_string(p) + "\n";
    for (int i = 0; i < 21; ++i)
        expected += "Occorrenza " + std::to_string(i) + ", = " + excerpts[i] + " \n";
    check({"", "findall", 0, expected});
}

struct occurrences {
    const char *label, *str, *substr;
    std::vector<long> offsets;
};

void PrintTo(const occurrences &c, std::ostream *os)
{
    *os << '"' << c.substr << "\" in \"" << c.str << '"';
}

class TrovaOccorrenze : public testing::TestWithParam<occurrences> {};

TEST_P(TrovaOccorrenze, FindsEveryOccurrenceInOrder)
{
    const auto &c = GetParam();
    testing::internal::CaptureStdout();
    risultato_ricerca r = trova_occorrenze(c.str, c.substr);
    std::string printed = testing::internal::GetCapturedStdout();
    std::string expected_lines;
    ASSERT_EQ(r.numero_occorrenze, static_cast<int>(c.offsets.size()));
    for (std::size_t i = 0; i < c.offsets.size(); ++i) {
        EXPECT_EQ(r.posizione_occorrenza[i], c.str + c.offsets[i]);
        expected_lines +=
            "ho trovato substr in str alla posizione " + std::to_string(c.offsets[i]) + "\n";
    }
    EXPECT_EQ(r.posizione_occorrenza[r.numero_occorrenze], nullptr);
    EXPECT_EQ(printed, expected_lines);
    free(r.posizione_occorrenza);
}

INSTANTIATE_TEST_SUITE_P(
    Searches, TrovaOccorrenze,
    testing::Values(occurrences{"OverlappingOnesAllFound", "emememem", "emem", {0, 2, 4}},
                    occurrences{"OverlapByOneByte", "aaaa", "aa", {0, 1, 2}},
                    occurrences{"AtTheStart", "em at the start", "em", {0}},
                    occurrences{"EndingAtTheLastByte", "ends with em", "em", {10}},
                    occurrences{"NoOccurrence", "nothing here", "xyz", {}},
                    occurrences{"LongerThanTheText", "em", "emem", {}},
                    occurrences{"CaseSensitive", "Lorem ipsum", "EM", {}},
                    occurrences{"EmptySearchString", "any text", "", {}},
                    occurrences{"EmptyText", "", "a", {}}),
    by_label);
