#include "runner.hpp"

using namespace testsupport;

namespace {

const auto copying = [](const std::string &from = "src", const std::string &to = "dst") {
    return "Copying " + from + " to " + to + "\n";
};
const auto copied = [](std::size_t n, const std::string &from = "src",
                       const std::string &to = "dst") {
    return copying(from, to) + "Successfully written " + std::to_string(n) + " Bytes.\n";
};

// A copy of `n` bytes of noise, made whole and with mode 0600.
row sized(const char *label, std::size_t n)
{
    auto bytes = std::to_string(n);
    return {label, "noise " + bytes + " > src; filecopy src dst && cmp src dst && stat -c %a dst",
            0, copied(n) + "600\n"};
}

// The Nth call of FUNC fails, with two chunks of 100 bytes copied before the third read.
row failing(const char *label, const char *call, const std::string &err)
{
    return {label, "noise 450 > src; fault " + std::string(call) + " EIO filecopy src dst", 1,
            copying(), err + "Input/output error\n"};
}

const std::string same = "noise 300 > src; cp src keep; ln src hard; ln -s src soft; ";

} // namespace

// The copy is the source, byte for byte, and its count, whatever the size around the chunk of
// 100 bytes and however the calls are cut short. One read and one write a chunk.
TABLE(Cases, FilecopyCopies, AreWholeAndCounted, nullptr, sized("EmptySource", 0),
      sized("OneByte", 1), sized("JustUnderAChunk", 99), sized("OneChunk", 100),
      sized("JustOverAChunk", 101), sized("TwoAndAHalfChunks", 250), sized("OneMebibyte", 1 << 20),
      {"ShortWrites",
       "noise 1234 > src; FAULT_SHORT=7 fault write 2 0 filecopy src dst && cmp src dst", 0,
       copied(1234)},
      {"InterruptedWrite", "noise 1234 > src; fault write 3 EINTR filecopy src dst && cmp src dst",
       0, copied(1234)},
      {"InterruptedRead", "noise 1234 > src; fault read 2 EINTR filecopy src dst && cmp src dst", 0,
       copied(1234)},
      {"ExistingDestinationIsTruncatedAndKeepsItsMode",
       "echo short > src; noise 1000 > dst; chmod 644 dst; filecopy src dst && cat dst && stat "
       "-c %a dst",
       0, copied(6) + "short\n644\n"},
      // One inode number on two file systems is two files.
      {"SameInodeNumberOnAnotherFileSystem", "twofs 'filecopy a/f b/f'", 0,
       copied(2, "a/f", "b/f")},
      // Standard output that is no regular file holds no copy to lose: /dev/stdout on a
      // pipe takes the copy between the two lines.
      {"StandardOutputPipeTakesTheCopy",
       "noise 300 > src; filecopy src /dev/stdout | cat; exit ${PIPESTATUS[0]}", 0,
       copying("src", "/dev/stdout") + noise(300) + "Successfully written 300 Bytes.\n"},
      {"ErrorClosed", "noise 450 > src; filecopy src dst 2>&- && cmp src dst", 0, copied(450)},
      // Only the calls on the two files (-P), not the loader's, nor a coverage build's
      // counters; LeakSanitizer cannot run under ptrace.
      {"OneReadOneWritePerChunk",
       "command -v strace > /dev/null || skip strace is not installed; noise 250 > src; "
       "ASAN_OPTIONS=detect_leaks=0 "
       "strace -o t -e trace=read,write -P \"$PWD/src\" -P \"$PWD/dst\" filecopy src dst > "
       "/dev/null && "
       R"(sed -nE 's/^(read|write)\([0-9]+, .*, ([0-9]+)\) += (-?[0-9]+)$/\1 \2=\3/p' t)",
       0,
       "read 100=100\nwrite 100=100\nread 100=100\nwrite 100=100\nread 100=50\nwrite "
       "50=50\nread 100=0\n"});

// What cannot be copied is refused with the step named, and nothing is written: no destination
// made, the source whole when the destination is the source, however named or swapped in
// between, and standard output's own file (`>> log`), which as the destination would have the
// report written over the copy and as the source would copy its own first line, keeps all but
// that line. Closed standard descriptors are never taken for files of the copy.
TABLE(Cases, FilecopyRefusals, TouchNothing, nullptr,
      {"NoArguments", "filecopy", 1, "", re(R"(Insuffiecient arguments\.\n: .*\n)")},
      {"OneArgument", "filecopy a", 1, "", re(R"(Insuffiecient arguments\.\n: .*\n)")},
      {"ThreeArguments", "filecopy a b c", 1, "", re(R"(Insuffiecient arguments\.\n: .*\n)")},
      {"MissingSource", "filecopy none dst; also test ! -e dst", 1, copying("none"),
       "Error opening source file: No such file or directory\n"},
      {"DestinationInAMissingFolder", "echo data > src; filecopy src none/dst", 1,
       copying("src", "none/dst"), "Error opening destination file: No such file or directory\n"},
      {"DirectorySourceBeforeTheDestinationIsTouched",
       "echo keep > dst; filecopy . dst; also cat dst", 1, copying(".") + "keep\n",
       "Error opening source file: Is a directory\n"},
      {"SameFile", same + "filecopy src src; also cmp src keep", 1, copying("src", "src"),
       "src and src are the same file\n"},
      {"SameFileByAHardLink", same + "filecopy src hard; also cmp src keep", 1,
       copying("src", "hard"), "src and hard are the same file\n"},
      {"SameFileByASymbolicLink", same + "filecopy src soft; also cmp src keep", 1,
       copying("src", "soft"), "src and soft are the same file\n"},
      {"DestinationSwappedForALinkToTheSource",
       same + "echo x > dst; swap open 2 soft dst filecopy src dst; also cmp src keep", 1,
       copying(), "src and dst are the same file\n"},
      {"StandardOutputFileAsDestination",
       "printf 'l1\\nl2\\n' > log; noise 300 > src; filecopy src /dev/stdout >> log; also cat "
       "log",
       1, "l1\nl2\n" + copying("src", "/dev/stdout"),
       "/dev/stdout and standard output are the same file\n"},
      {"StandardOutputFileAsSource",
       "printf 'l1\\nl2\\n' > log; filecopy log log.bak >> log; also cat log; also test ! -e "
       "log.bak",
       1, "l1\nl2\n" + copying("log", "log.bak"), "log and standard output are the same file\n"},
      {"ClosedInputNamedAsSource", "filecopy /dev/stdin dst <&-; also test ! -e dst", 1,
       copying("/dev/stdin"), "Error opening source file: Is a directory\n"},
      {"ClosedInputCannotBeHeld",
       "echo a > src; fault open 1 EMFILE filecopy src dst <&-; also test ! -e dst", 1, "",
       "Error opening /: Too many open files\n"});

// A failed step ends the run with its own report, whatever standard descriptors it has.
TABLE(Cases, FilecopyFailures, EachStepHasItsMessage, nullptr,
      failing("read_3", "read 3", "Error reading file.\n: "),
      failing("ftruncate_1", "ftruncate 1", "Error opening destination file: "),
      failing("write_2", "write 2", "Error writing file\n: "),
      failing("close_1", "close 1", "Error closing file\n: "),
      failing("close_2", "close 2", "Error closing file\n: "),
      {"ReadFailsWithInputAndErrorClosed",
       "noise 450 > src; fault read 3 EIO filecopy src dst <&- 2>&-; head -c 200 src | also "
       "cmp - dst",
       1, copying()},
      {"OutputClosed", "noise 450 > src; filecopy src dst >&-; also cmp src dst", 1, "",
       "Error writing standard output: Bad file descriptor\n"},
      {"AllClosed", "noise 450 > src; filecopy src dst <&- >&- 2>&-; also cmp src dst", 1},
      {"ClosedErrorNamedAsDestination", "echo a > src; filecopy src /dev/stderr 2>&-", 1,
       copying("src", "/dev/stderr")},
      // Room for the first line and no more (the limit's unit is a KiB), SIGXFSZ ignored:
      // the report that cannot be written is a failure.
      {"ReportThatFindsNoRoom",
       "echo data > src; noise $((1024 * 1024 - 19)) > out; trap '' XFSZ; ulimit -f 1024; "
       "filecopy src dst >> out; (noise $((1024 * 1024 - 19)); echo Copying src to dst) | "
       "also cmp - out",
       1, "", "Error writing standard output: File too large\n"});
