// A plain model of how a move list reads, written independently of the library's
// reader: the Windows text-mode stream (CR LF as LF, a lone CR kept, byte 26 ends the
// file), pieces of at most 778 bytes as the library's reader takes them (a path of 259
// UTF-16 characters, three bytes each at most, and its line feed), and the meaning of
// each piece.
#pragma once

#include <string>
#include <vector>

namespace quisel::model {

// The bytes as the text-mode stream hands them out.
inline std::string TextModeBytes(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == 26) break;
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;  // the LF follows
        text += c;
    }
    return text;
}

// The successive reads of a 779-byte line buffer: up to and including a line feed, at
// most 778 bytes each.
constexpr size_t kPieceBytes = 778;

inline std::vector<std::string> Pieces(const std::string& raw) {
    const std::string text = TextModeBytes(raw);
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = at;
        while (end < text.size() && end - at < kPieceBytes) {
            if (text[end++] == '\n') break;
        }
        pieces.push_back(text.substr(at, end - at));
        at = end;
    }
    return pieces;
}

// A piece as the library sees it: up to its first NUL, one trailing LF removed.
inline std::string LineOf(const std::string& piece) {
    std::string line = piece.substr(0, piece.find('\0'));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

inline bool IsMarker(const std::string& line) { return line == "ver.bin"; }

// The entry of a file line: one leading ".\" removed.
inline std::string EntryOf(const std::string& line) {
    return line.compare(0, 2, ".\\") == 0 ? line.substr(2) : line;
}

// Whether the entry is refused as not naming a file below its roots: empty, absolute,
// a drive, a component that Windows reads as the parent (dots and spaces only, two
// dots or more), or a last component that Windows reads as the directory itself
// (dots and spaces only; separators after it name no level).
inline bool Refused(const std::string& entry) {
    if (entry.empty() || entry[0] == '\\' || entry[0] == '/') return true;
    if (entry.size() >= 2 && entry[1] == ':') return true;
    std::string component;
    bool itself = false;
    for (size_t i = 0; i <= entry.size(); ++i) {
        const bool end = i == entry.size();
        if (end || entry[i] == '\\' || entry[i] == '/') {
            if (!component.empty()) {
                size_t dots = 0;
                itself = true;
                for (char c : component) {
                    if (c == '.') ++dots;
                    else if (c != ' ') itself = false;
                }
                if (itself && dots >= 2) return true;
            }
            component.clear();
        } else {
            component += entry[i];
        }
    }
    return itself;
}

// The file entries of a list in order (empty lines and markers left out), and whether
// the marker was named.
struct ListMeaning {
    std::vector<std::string> entries;
    bool marker = false;
};

// A list that begins with the UTF-8 byte-order mark names its files in UTF-8, the mark
// not part of the first line.
inline ListMeaning Meaning(const std::string& raw) {
    ListMeaning meaning;
    bool first = true;
    for (const std::string& piece : Pieces(raw)) {
        std::string line = LineOf(piece);
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        first = false;
        if (line.empty()) continue;
        if (IsMarker(line)) {
            meaning.marker = true;
            continue;
        }
        meaning.entries.push_back(line);
    }
    return meaning;
}

}  // namespace quisel::model
