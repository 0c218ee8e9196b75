// The path helpers read a path by characters of the ANSI code page. Here, natively, they
// run under UTF-8 (no lead bytes) and under the 932 lead bytes given to the layer through
// its seam, and every answer is compared with a plain model that first splits the text
// into characters and then looks only at whole characters.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault.h"
#include "frame/quisel.h"
#include "lead_bytes.h"
#include "tree/paths.h"
#include "version/move_list.h"

namespace quisel::test {
namespace {

// Code page 932 in bytes: two characters whose second byte is a backslash, two whose
// second byte is a letter (the same letter in both cases), and katakana "fu", "to".
#define HYO "\x95\x5c"  // 表
#define SO "\x83\x5c"   // ソ
#define A "\x83\x41"    // ア
#define DI "\x83\x61"   // ヂ
#define FU "\x83\x74"
#define TO "\x83\x67"

const std::vector<std::string> kPaths = {
    "", "\\", "\\\\", "a", "a\\", "A/", "x.txt", "X.TXT", "c:x", "\\\\server\\share",
    HYO, HYO "\\", HYO "/", "x" HYO, HYO HYO, SO FU TO "\\" HYO, "Z:\\g\\" SO FU TO "\\" HYO "\\",
    "d" SO "\\" HYO SO "\\y.txt", HYO "\\..", HYO "\\..\\x", "..\\" HYO, ".." HYO, HYO "\\.", HYO "\\ . ",
    ". ", "..", "...\\a", A, DI, A "\\", DI "\\", "a" A, "A" A, "\x95:x", "\x95", "a\x95", "\x95\\\\",
    "\xff\\", "\x81\x81\\", HYO ":" SO, "a/b", SO "/" HYO,
};

struct CodePage {
    const char* name;
    unsigned char lead[256];  // as the layer's seam takes it
};

void PrintTo(const CodePage& page, std::ostream* os) { *os << page.name; }

CodePage Utf8() {
    CodePage page{"UTF-8", {}};
    return page;
}

CodePage Cp932() {
    CodePage page{"932", {}};
    std::memcpy(page.lead, LeadBytes932(), sizeof page.lead);
    return page;
}

// The model: a path is its sequence of characters.
std::vector<std::string> Chars(const std::string& path, const CodePage& page) {
    std::vector<std::string> chars;
    for (size_t i = 0; i < path.size();) {
        const size_t size = page.lead[static_cast<unsigned char>(path[i])] && i + 1 < path.size() ? 2 : 1;
        chars.push_back(path.substr(i, size));
        i += size;
    }
    return chars;
}

bool IsSeparator(const std::string& c) { return c == "\\" || c == "/"; }

std::vector<size_t> ModelBackslashes(const std::string& path, const CodePage& page) {
    std::vector<size_t> at;
    size_t offset = 0;
    for (const std::string& c : Chars(path, page)) {
        if (c == "\\") at.push_back(offset);
        offset += c.size();
    }
    return at;
}

// Empty for a root that ends in a lead byte without its second byte.
std::string ModelRoot(const std::string& dir, const CodePage& page) {
    const std::vector<std::string> chars = Chars(dir, page);
    if (!chars.empty() && chars.back().size() == 1 && page.lead[static_cast<unsigned char>(chars.back()[0])]) return "";
    return !chars.empty() && chars.back() == "\\" ? dir : dir + "\\";
}

bool ModelSame(const std::string& a, const std::string& b, const CodePage& page) {
    auto key = [&](const std::string& path) {
        std::vector<std::string> chars = Chars(path, page);
        while (chars.size() > 1 && IsSeparator(chars.back())) chars.pop_back();
        for (std::string& c : chars) {
            if (c == "/") c = "\\";
            if (c.size() == 1 && c[0] >= 'a' && c[0] <= 'z') c[0] = static_cast<char>(c[0] - 'a' + 'A');
        }
        return chars;
    };
    return key(a) == key(b);
}

bool ModelInside(const std::string& entry, const CodePage& page) {
    const std::vector<std::string> chars = Chars(entry, page);
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
    for (size_t i = 0; i < components.size(); ++i) {
        int dots = 0;
        bool onlyDotsAndSpaces = !components[i].empty();
        for (const std::string& c : components[i]) {
            dots += c == ".";
            onlyDotsAndSpaces = onlyDotsAndSpaces && (c == "." || c == " ");
        }
        if (onlyDotsAndSpaces && (dots >= 2 || i + 1 == components.size())) return false;
    }
    return true;
}

bool ModelHoldsSyntax(const std::string& name, const CodePage& page) {
    for (const std::string& c : Chars(name, page)) {
        if (c.size() == 1 && std::strchr(QUISEL_PATH_SYNTAX, c[0]) != nullptr) return true;
    }
    return false;
}

class PathsByCharacterTest : public ::testing::TestWithParam<CodePage> {
protected:
    void SetUp() override {
        page_ = GetParam();
        SeamUseLeadBytes(page_.lead);
    }
    void TearDown() override { SeamUseLeadBytes(nullptr); }

    CodePage page_{};
};

TEST_P(PathsByCharacterTest, EveryHelperAgreesWithTheModel) {
    for (const std::string& path : kPaths) {
        SCOPED_TRACE("path \"" + path + "\" under " + page_.name);
        const char* p = path.c_str();

        std::vector<size_t> backslashes;
        for (size_t i = NextBackslash(p, 0); i < path.size(); i = NextBackslash(p, i + 1)) backslashes.push_back(i);
        EXPECT_EQ(backslashes, ModelBackslashes(path, page_));
        const std::vector<std::string> chars = Chars(path, page_);
        EXPECT_EQ(EndsWithBackslash(p, path.size()) != 0, !chars.empty() && chars.back() == "\\");

        char root[kPathSize] = {};
        EXPECT_EQ(MakeRoot(root, p) != 0 ? std::string(root) : "", ModelRoot(path, page_));

        EXPECT_EQ(ListEntryStaysInside(p) != 0, ModelInside(path, page_));
        EXPECT_EQ(NameHoldsPathSyntax(p) != 0, ModelHoldsSyntax(path, page_));
        for (const std::string& other : kPaths) {
            EXPECT_EQ(SamePathText(p, other.c_str()) != 0, ModelSame(path, other, page_)) << "against \"" << other << "\"";
        }
    }
}

// What the model must say, so that a model gone wrong with the helpers is seen too.
TEST(PathsBy932Characters, KeepWhatTheBytesWouldHaveMixedUp) {
    SeamUseLeadBytes(LeadBytes932());
    char root[kPathSize];
    MakeRoot(root, "Z:\\g\\" HYO);
    EXPECT_STREQ(root, "Z:\\g\\" HYO "\\");
    EXPECT_FALSE(SamePathText(A, DI));
    EXPECT_TRUE(SamePathText("x" HYO "\\", "X" HYO));
    EXPECT_FALSE(ListEntryStaysInside(HYO "\\..\\x"));
    EXPECT_TRUE(ListEntryStaysInside(".." HYO));
    EXPECT_FALSE(NameHoldsPathSyntax(HYO SO));
    SeamUseLeadBytes(nullptr);
    MakeRoot(root, "Z:\\g\\" HYO);
    EXPECT_STREQ(root, "Z:\\g\\" HYO);
}

INSTANTIATE_TEST_SUITE_P(CodePages, PathsByCharacterTest, ::testing::Values(Utf8(), Cp932()),
                         [](const ::testing::TestParamInfo<CodePage>& info) {
                             return std::string(info.param.lead[0x81] ? "Cp932" : "Utf8");
                         });

}  // namespace
}  // namespace quisel::test
