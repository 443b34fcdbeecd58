// findall: finds every occurrence of a string in a text, overlapping ones included, and
// collects their positions in an array that grows by one slot per occurrence.
// 1. trova_occorrenze allocates the array, at first just its null end (malloc).
// 2. Each occurrence found with strstr, the next search starting one byte after it, so that
//    overlapping ones count.
// 3. For each, a line printed (printf) and the array grown by one slot (realloc).
// 4. main prints ten bytes from each position (printf), written out (fflush).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using char_p = const char *;

struct risultato_ricerca {
    int32_t numero_occorrenze;
    char_p *posizione_occorrenza; // numero_occorrenze entries, then a null pointer
};

risultato_ricerca trova_occorrenze(const char *str, const char *substr);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    const char *str = "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod "
                      "tempor incididuntemememeememememeemememeememememeememeememem";
    const char *substr = "em";
    risultato_ricerca ricerca = trova_occorrenze(str, substr);
    for (int i = 0; i < ricerca.numero_occorrenze; ++i)
        printf("Occorrenza %d, = %.10s \n", i, ricerca.posizione_occorrenza[i]);
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
    return 0; // the array lives until the process ends
}

namespace {

risultato_ricerca trova_occorrenze(const char *str, const char *substr)
{
    risultato_ricerca posizioni{0, static_cast<char_p *>(malloc(sizeof(char_p)))};
    if (posizioni.posizione_occorrenza == nullptr)
        die("malloc");
    posizioni.posizione_occorrenza[0] = nullptr;
    if (*substr == '\0')
        return posizioni; // strstr would match at every byte, and past the text's end
    for (char_p pos = str; (pos = strstr(pos, substr)) != nullptr; ++pos) {
        printf("ho trovato substr in str alla posizione %td\n", pos - str);
        size_t bytes = (static_cast<size_t>(posizioni.numero_occorrenze) + 2) * sizeof(char_p);
        auto *grown = static_cast<char_p *>(realloc(posizioni.posizione_occorrenza, bytes));
        if (grown == nullptr)
            die("realloc");
        posizioni.posizione_occorrenza = grown;
        grown[posizioni.numero_occorrenze] = pos;
        grown[++posizioni.numero_occorrenze] = nullptr;
    }
    return posizioni;
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
