// The path helpers read a path in the library's form (UTF-8, or any bytes on POSIX).
// Every answer is compared with a plain model that first splits the text into characters
// and then looks only at whole characters; the limit is checked in UTF-16 units, and the
// conversion between UTF-16 and the library's form in both directions.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/quisel.h"
#include "tree/paths.h"
#include "version/move_list.h"
#include "wtf8.h"

namespace quisel::test {
namespace {

const std::vector<std::string> kPaths = {
    "", "\\", "\\\\", "a", "a\\", "A/", "x.txt", "X.TXT", "c:x", "\\\\server\\share",
    "表", "表\\", "表/", "x表", "表表", "ソフト\\表", "Z:\\g\\ソフト\\表\\", "d\\表\\y.txt", "表\\..", "表\\..\\x",
    "..\\표", "..표", "표\\.", "표\\ . ", ". ", "..", "...\\a", "ä", "Ä", "ä\\", "a😀", "😀\\..", "\xe8:x", "\xe8",
    "a\xe8", "\xe8\\\\", "\xff\\", "\x81\x81\\", "表:ソ", "a/b", "ソ/表", ".\\", "./.\\", "표\\ \\", "a\\.\\\\",
};

// The model: a path is its sequence of UTF-8 characters, a byte of none a character alone.
std::vector<std::string> Chars(const std::string& path) {
    std::vector<std::string> chars;
    for (size_t i = 0; i < path.size();) {
        const unsigned char b = static_cast<unsigned char>(path[i]);
        size_t size = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        for (size_t k = 1; k < size; ++k) {
            if (i + k >= path.size() || (static_cast<unsigned char>(path[i + k]) & 0xC0) != 0x80) size = 1;
        }
        chars.push_back(path.substr(i, size));
        i += size;
    }
    return chars;
}

bool IsSeparator(const std::string& c) { return c == "\\" || c == "/"; }

std::vector<size_t> ModelBackslashes(const std::string& path) {
    std::vector<size_t> at;
    size_t offset = 0;
    for (const std::string& c : Chars(path)) {
        if (c == "\\") at.push_back(offset);
        offset += c.size();
    }
    return at;
}

bool ModelSame(const std::string& a, const std::string& b) {
    auto key = [](const std::string& path) {
        std::vector<std::string> chars = Chars(path);
        while (chars.size() > 1 && IsSeparator(chars.back())) chars.pop_back();
        for (std::string& c : chars) {
            if (c == "/") c = "\\";
            if (c.size() == 1 && c[0] >= 'a' && c[0] <= 'z') c[0] = static_cast<char>(c[0] - 'a' + 'A');
        }
        return chars;
    };
    return key(a) == key(b);
}

bool ModelInside(const std::string& entry) {
    const std::vector<std::string> chars = Chars(entry);
    if (chars.empty() || IsSeparator(chars[0])) return false;
    if (chars.size() > 1 && chars[0].size() == 1 && chars[1] == ":") return false;
    std::vector<std::vector<std::string>> components(1);
    for (const std::string& c : chars) {
        if (IsSeparator(c)) {
            components.emplace_back();
        } else {
            components.back().push_back(c);
        }
    }
    // The last level is the last component with a name: separators name none.
    size_t last = 0;
    for (size_t i = 0; i < components.size(); ++i) {
        if (!components[i].empty()) last = i;
    }
    for (size_t i = 0; i < components.size(); ++i) {
        int dots = 0;
        bool onlyDotsAndSpaces = !components[i].empty();
        for (const std::string& c : components[i]) {
            dots += c == ".";
            onlyDotsAndSpaces = onlyDotsAndSpaces && (c == "." || c == " ");
        }
        if (onlyDotsAndSpaces && (dots >= 2 || i == last)) return false;
    }
    return true;
}

bool ModelHoldsSyntax(const std::string& name) {
    for (const std::string& c : Chars(name)) {
        if (c.size() == 1 && std::strchr(QUISEL_PATH_SYNTAX, c[0]) != nullptr) return true;
    }
    return false;
}

TEST(PathsByCharacter, EveryHelperAgreesWithTheModel) {
    for (const std::string& path : kPaths) {
        SCOPED_TRACE("path \"" + path + "\"");
        const char* p = path.c_str();

        std::vector<size_t> backslashes;
        for (size_t i = NextBackslash(p, 0); i < path.size(); i = NextBackslash(p, i + 1)) backslashes.push_back(i);
        EXPECT_EQ(backslashes, ModelBackslashes(path));
        const std::vector<std::string> chars = Chars(path);
        EXPECT_EQ(EndsWithBackslash(p, path.size()) != 0, !chars.empty() && chars.back() == "\\");

        char root[kPathBuffer] = {};
        ASSERT_NE(MakeRoot(root, p), 0u);
        EXPECT_EQ(std::string(root), !chars.empty() && chars.back() == "\\" ? path : path + "\\");

        EXPECT_EQ(ListEntryStaysInside(p) != 0, ModelInside(path));
        EXPECT_EQ(NameHoldsPathSyntax(p) != 0, ModelHoldsSyntax(path));
        for (const std::string& other : kPaths) {
            EXPECT_EQ(SamePathText(p, other.c_str()) != 0, ModelSame(path, other)) << "against \"" << other << "\"";
        }
    }
}

std::string Times(const std::string& text, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += text;
    return out;
}

// The limit is 259 UTF-16 units, however many bytes they take; any path of fewer than
// 260 bytes fits, whatever its bytes.
TEST(PathsByCharacter, FitTheLimitInUnitsOfUtf16) {
    struct Row {
        const char* name;
        std::string dir;  // MakeRoot appends one backslash
        bool fits;
    };
    const Row rows[] = {
        {"258 ASCII characters", std::string(258, 'a'), true},
        {"259 ASCII characters", std::string(259, 'a'), false},
        {"258 CJK characters, 774 bytes", Times("表", 258), true},
        {"259 CJK characters", Times("表", 259), false},
        {"129 emoji, two units each", Times("😀", 129), true},
        {"129 emoji and one more unit", Times("😀", 129) + "a", false},
        {"259 bytes that are no UTF-8", std::string(258, '\x80'), true},
        {"more bytes that are no UTF-8 than the limit", std::string(259, '\x80'), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        char root[kPathBuffer];
        EXPECT_EQ(MakeRoot(root, row.dir.c_str()) != 0, row.fits);
        char path[kPathBuffer];
        EXPECT_EQ(FormatPath(path, "%s\\", row.dir.c_str()) != 0, row.fits);
        ASSERT_EQ(MakeRoot(root, ""), 1u);
        EXPECT_EQ(PutName(root, 1, row.dir.c_str()) != 0, row.fits);
    }
}

std::u16string U16(const char16_t* text) { return text; }

// Every UTF-16 string, unpaired surrogates included, has one spelling in the library's
// form and comes back from it unchanged; text that is no such spelling is refused.
TEST(PathsByCharacter, Utf16AndTheLibrarysFormRoundTrip) {
    const std::u16string strings[] = {
        u"", u"plain", u"存档\\设置", u"한글", u"ä", u"😀", U16(u"a\xD800z"), U16(u"\xDC00"), U16(u"\xD83D"),
        U16(u"\xDBFF\xDFFF"),
    };
    for (const std::u16string& text : strings) {
        char bytes[64];
        ASSERT_TRUE(EncodeWtf8(reinterpret_cast<const uint16_t*>(text.data()), text.size(), bytes, sizeof bytes));
        uint16_t back[32];
        size_t count = 0;
        int tooLong = 0;
        ASSERT_TRUE(DecodeWtf8(bytes, back, 32, &count, &tooLong)) << bytes;
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(back), count), text);
        EXPECT_EQ(PathUnits(bytes, std::strlen(bytes)), text.size());
    }
    const char* refused[] = {
        "\xff",          "\x80",      "\xc0\xaf",  // a byte that starts nothing, an over-long "/"
        "\xe4\xb8",      "\xf0\x9f\x98",            // cut short
        "\xed\xa0\xbd\xed\xb8\x80",                 // a pair spelled as two surrogates
        "\xf4\x90\x80\x80",                         // past U+10FFFF
    };
    for (const char* text : refused) {
        uint16_t out[8];
        size_t count = 0;
        int tooLong = 1;
        EXPECT_FALSE(DecodeWtf8(text, out, 8, &count, &tooLong)) << text;
        EXPECT_EQ(tooLong, 0);
    }
    uint16_t small[3];
    size_t count = 0;
    int tooLong = 0;
    EXPECT_FALSE(DecodeWtf8("abc", small, 3, &count, &tooLong));
    EXPECT_EQ(tooLong, 1);
    char cut[6];
    const std::u16string two = u"表表";
    EXPECT_FALSE(EncodeWtf8(reinterpret_cast<const uint16_t*>(two.data()), two.size(), cut, sizeof cut));
    EXPECT_STREQ(cut, "表");
}

}  // namespace
}  // namespace quisel::test
