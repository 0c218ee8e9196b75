// The move list reader over fuzzed list bytes: the pieces it reads, their meaning and
// the out-of-root test, each against the plain model in list_model.h.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "frame/quisel.h"
#include "invariants.h"
#include "list_model.h"
#include "version/move_list.h"

namespace {

std::string g_base;
std::string g_listPath;

void RemoveScratch() { quisel::inv::RemoveAll(g_base); }

[[noreturn]] void Fail(const char* what, const std::string& expected, const std::string& got) {
    fprintf(stderr, "list reader: %s\n  expected (%zu bytes): ", what, expected.size());
    for (unsigned char c : expected) fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    fprintf(stderr, "\n  got (%zu bytes): ", got.size());
    for (unsigned char c : got) fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    fprintf(stderr, "\n");
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_base = quisel::inv::MakeTempDir(quisel::inv::ScratchParent(), "quisel-fuzz-list");
    g_listPath = g_base + "/list.txt";
    atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    quisel::inv::WriteBytes(g_listPath, raw);
    const std::vector<std::string> pieces = quisel::model::Pieces(raw);

    FILE* list = OpenTextStream(g_listPath.c_str(), "r");
    if (list == nullptr) abort();
    char line[kListLineSize];
    size_t count = 0;
    while (ReadListLine(list, line)) {
        if (count >= pieces.size()) Fail("a piece past the end", "", std::string(line, strnlen(line, sizeof line)));
        // The whole buffer: the piece, then zeros to its end (nothing written past the piece).
        std::string expected = pieces[count];
        expected.resize(kListLineSize, '\0');
        if (memcmp(line, expected.data(), kListLineSize) != 0)
            Fail("piece differs", pieces[count], std::string(line, kListLineSize));

        size_t length = 0;
        const ListLineKind kind = ClassifyListLine(line, &length);
        const std::string modelLine = quisel::model::LineOf(pieces[count]);
        if (length != modelLine.size() || std::string(line, length) != modelLine)
            Fail("line after its line feed differs", modelLine, std::string(line, length));
        const ListLineKind modelKind =
            modelLine.empty() ? kListEmpty : quisel::model::IsMarker(modelLine) ? kListMarker : kListEntry;
        if (kind != modelKind) Fail("kind differs", std::to_string(modelKind), std::to_string(kind));

        if (kind == kListEntry) {
            const char* entry = ListEntryPath(line);
            const std::string modelEntry = quisel::model::EntryOf(modelLine);
            if (entry != modelEntry) Fail("entry differs", modelEntry, entry);
            const bool inside = ListEntryStaysInside(entry) != 0;
            if (inside == quisel::model::Refused(modelEntry))
                Fail(inside ? "accepted an entry that is no file below its roots" : "refused a file below its roots",
                     modelEntry, entry);
        }
        ++count;
    }
    if (ferror(list)) Fail("read error", "", "");
    if (count != pieces.size()) Fail("fewer pieces", std::to_string(pieces.size()), std::to_string(count));
    fclose(list);
    return 0;
}
