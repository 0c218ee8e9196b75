// The log and list streams: byte-exact CR LF handling and the files they hold open.
#include <cstdio>

#include "layer_fixture.h"

namespace layer_test {
namespace {

using Streams = LayerTest;

// Everything the list reader hands out, NULs included, a character at a time as fgets
// takes it. (Wine's fread takes another path for large reads that loses a CR or a Ctrl-Z
// met at its buffer's edge; the library reads with fgets only.)
std::string ReadAllText(const char* path) {
    FILE* f = OpenTextStream(path, "r");
    EXPECT_NE(f, nullptr) << "code " << GetLastError();
    if (f == nullptr) return "";
    std::string out;
    for (int c; (c = fgetc(f)) != EOF;) out.push_back(static_cast<char>(c));
    EXPECT_FALSE(ferror(f));
    fclose(f);
    return out;
}

// Equal texts; on a difference, where it starts rather than both texts whole.
::testing::AssertionResult Same(const std::string& got, const std::string& expected) {
    if (got == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
    size_t from = at < 8 ? 0 : at - 8;
    return ::testing::AssertionFailure()
           << "sizes " << got.size() << " and " << expected.size() << ", first difference at " << at << ": got \""
           << quisel::test::Printable(got.substr(from, 24)) << "\", expected \""
           << quisel::test::Printable(expected.substr(from, 24)) << "\"";
}

std::vector<std::string> ReadLines(const char* path, int size = 270) {
    std::vector<std::string> lines;
    FILE* f = OpenTextStream(path, "r");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return lines;
    std::vector<char> buf(static_cast<size_t>(size));
    while (fgets(buf.data(), size, f)) lines.emplace_back(buf.data());
    EXPECT_TRUE(feof(f));
    fclose(f);
    return lines;
}

TEST_F(Streams, LogWritesCrLfAndAppends) {
    WriteFile("log", "earlier\r\n");
    FILE* f = OpenTextStream("log", "at");
    ASSERT_NE(f, nullptr);
    fprintf(f, "one\ntwo\n\n");
    fprintf(f, "from: %s\nto: %s", "a", "b");
    fprintf(f, "\r\n");  // a CR already there is kept and the LF still gets its own
    ASSERT_EQ(fflush(f), 0);
    EXPECT_EQ(ReadFile("log"), "earlier\r\none\r\ntwo\r\n\r\nfrom: a\r\nto: b\r\r\n");
    fclose(f);
    f = OpenTextStream("log", "at");
    ASSERT_NE(f, nullptr);
    fputs("again\n", f);
    fclose(f);
    EXPECT_EQ(ReadFile("log"), "earlier\r\none\r\ntwo\r\n\r\nfrom: a\r\nto: b\r\r\nagain\r\n");
}

TEST_F(Streams, LogRecordsLargerThanAnyBuffer) {
    std::string record;
    for (int i = 0; i < 20000; ++i) record += (i % 3 == 0) ? '\n' : 'x';
    record += std::string(30000, '\n');
    FILE* f = OpenTextStream("log", "at");
    ASSERT_NE(f, nullptr);
    fputs(record.c_str(), f);
    fputs(record.c_str(), f);
    ASSERT_EQ(fclose(f), 0);
    std::string expected;
    for (char c : record + record) {
        if (c == '\n') expected += '\r';
        expected += c;
    }
    EXPECT_TRUE(Same(ReadFile("log"), expected));
}

TEST_F(Streams, ReaderTranslatesLikeTextMode) {
    WriteFile("crlf", "a\r\nb\r\n");
    EXPECT_TRUE(Same(ReadAllText("crlf"), "a\nb\n"));
    WriteFile("lone", "a\rb\r\r\nc\n\r");  // lone CRs, CR CR LF, and a CR as the last byte
    EXPECT_TRUE(Same(ReadAllText("lone"), "a\rb\r\nc\n\r"));
    WriteFile("ctrlz", "a\r\nb\x1a" "c\r\nd\n");
    EXPECT_TRUE(Same(ReadAllText("ctrlz"), "a\nb"));
    WriteFile("crz", "a\r\x1a\n");
    EXPECT_TRUE(Same(ReadAllText("crz"), "a\r"));
    WriteFile("zeros", std::string("a\0b\r\n\0\n", 7));
    EXPECT_TRUE(Same(ReadAllText("zeros"), std::string("a\0b\n\0\n", 6)));
    WriteFile("empty", "");
    EXPECT_TRUE(Same(ReadAllText("empty"), ""));
    EXPECT_EQ(ReadLines("empty"), std::vector<std::string>{});
}

TEST_F(Streams, ReaderLinesAsFgetsGivesThem) {
    static const char kList[] = "first\r\n\r\nver.bin\nnul\0tail\r\nlast";
    WriteFile("list", std::string(kList, sizeof kList - 1));
    EXPECT_EQ(ReadLines("list"), (std::vector<std::string>{"first\n", "\n", "ver.bin\n", "nul", "last"}));
    // 270 characters take at most 269 per read, in pieces, without the line end.
    std::string longLine(600, 'L');
    WriteFile("long", longLine + "\r\nnext\r\n");
    std::vector<std::string> lines = ReadLines("long");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::string(269, 'L'));
    EXPECT_EQ(lines[1], std::string(269, 'L'));
    EXPECT_EQ(lines[2], std::string(62, 'L') + "\n");
    EXPECT_EQ(lines[3], "next\n");
}

TEST_F(Streams, ReaderJoinsCrLfAcrossBufferEdges) {
    // Our reader reads 4096 bytes at a time and the Windows runtime's buffer is 4096 too;
    // the neighbouring sizes cover other plausible buffers.
    for (size_t edge : {511u, 512u, 4095u, 4096u, 4097u, 8191u, 8192u}) {
        SCOPED_TRACE(edge);
        std::string body(edge - 1, 'x');  // the CR is byte number `edge`, the last of a buffer
        WriteFile("edge", body + "\r\nnext\r\n");
        EXPECT_TRUE(Same(ReadAllText("edge"), body + "\nnext\n"));
        WriteFile("edge", body + "\rz\r\n");  // a lone CR on the edge stays
        EXPECT_TRUE(Same(ReadAllText("edge"), body + "\rz\n"));
        WriteFile("edge", body + "\r\x1a" "after");
        EXPECT_TRUE(Same(ReadAllText("edge"), body + "\r"));
        WriteFile("edge", body + "\r");
        EXPECT_TRUE(Same(ReadAllText("edge"), body + "\r"));
        WriteFile("edge", body + "y\x1a" "after");  // Ctrl-Z as the first byte of the next buffer
        EXPECT_TRUE(Same(ReadAllText("edge"), body + "y"));
#if !defined(_WIN32)
        // glibc hands a large fread straight to the reader, in sizes of the caller's own.
        WriteFile("edge", body + "\r\n" + body + "\r\r\n");
        FILE* f = OpenTextStream("edge", "r");
        ASSERT_NE(f, nullptr);
        std::string whole(3 * edge, '\0');
        whole.resize(fread(&whole[0], 1, whole.size(), f));
        fclose(f);
        EXPECT_TRUE(Same(whole, body + "\n" + body + "\r\n"));
#endif
    }
}

TEST_F(Streams, FailedOpensLeaveTheirCode) {
    EXPECT_EQ(OpenTextStream("missing", "r"), nullptr);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_EQ(OpenTextStream("nodir\\missing", "r"), nullptr);
    EXPECT_EQ(GetLastError(), 3u);
    EXPECT_EQ(OpenTextStream("nodir\\log", "at"), nullptr);
    EXPECT_EQ(GetLastError(), 3u);
    MakeDirectories("dir");
    EXPECT_EQ(OpenTextStream("dir", "r"), nullptr);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_FALSE(Exists("nodir"));
}

TEST_F(Streams, OpenStreamsCannotBeDeletedOrMoved) {
    MakeDirectories("sub");
    WriteFile("sub/list", "a\n");
    WriteFile("other", "o");
    FILE* log = OpenTextStream("sub\\log", "at");
    ASSERT_NE(log, nullptr);
    FILE* list = OpenTextStream("sub\\list", "r");
    ASSERT_NE(list, nullptr);
    for (const char* open : {"sub\\log", "sub\\list"}) {
        SCOPED_TRACE(open);
        EXPECT_TRUE(FailedWith(DeleteFileA(open), 32));
        EXPECT_TRUE(FailedWith(MoveFileA(open, "moved"), 32));
        // Moving onto it is refused as onto any existing name (Windows and Wine say 183).
        EXPECT_TRUE(FailedWith(MoveFileA("other", open), 183));
        // Attributes may still be set; the library does that before deleting.
        EXPECT_TRUE(SetFileAttributesA(open, FILE_ATTRIBUTE_NORMAL));
    }
    EXPECT_FALSE(Exists("moved"));
    fputs("still open\n", log);
    ASSERT_EQ(fflush(log), 0);
    EXPECT_EQ(ReadFile("sub/log"), "still open\r\n");

    // Replacing one by a copy: Windows refuses with 32 as it refuses deletion; Wine lets
    // the copy write into the open file. Our layer follows Windows, as deleting and
    // renaming over it are the same act here.
    BOOL copied = CopyFileA("other", "sub\\log", FALSE);
    unsigned long code = GetLastError();
#if defined(_WIN32)
    if (!copied) {
        EXPECT_EQ(code, 32ul);
    }
#else
    EXPECT_TRUE(FailedWith(copied, 32));
    (void)code;
    EXPECT_EQ(ReadFile("sub/log"), "still open\r\n");
#endif
    // Copying from them is fine.
    EXPECT_TRUE(CopyFileA("sub\\list", "copy", FALSE));
    EXPECT_EQ(ReadFile("copy"), "a\n");

    fclose(log);
    fclose(list);
    EXPECT_TRUE(MoveFileA("sub\\list", "moved"));
    EXPECT_TRUE(DeleteFileA("sub\\log"));
    EXPECT_TRUE(DeleteFileA("moved"));
}

#if !defined(_WIN32)
TEST_F(Streams, EveryOpenStreamIsGuardedOrRefused) {
    // The layer tracks its open streams in a fixed table; one it cannot track must not
    // be opened unguarded.
    std::vector<FILE*> open;
    for (int i = 0; i < 64; ++i) {
        std::string name = "s" + std::to_string(i);
        FILE* f = OpenTextStream(name.c_str(), "at");
        if (f == nullptr) {
            EXPECT_EQ(GetLastError(), 4u);
            break;
        }
        open.push_back(f);
    }
    EXPECT_LT(open.size(), 64u);
    EXPECT_GE(open.size(), 2u);
    for (size_t i = 0; i < open.size(); ++i)
        EXPECT_TRUE(FailedWith(DeleteFileA(("s" + std::to_string(i)).c_str()), 32));
    for (FILE* f : open) fclose(f);
    // Closing frees the slots: all can be deleted, and a new stream is guarded again.
    for (size_t i = 0; i < open.size(); ++i) EXPECT_TRUE(DeleteFileA(("s" + std::to_string(i)).c_str()));
    FILE* again = OpenTextStream("again", "at");
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(FailedWith(DeleteFileA("again"), 32));
    fclose(again);
}
#endif

}  // namespace
}  // namespace layer_test
