#include "checks/check_list.h"

#include "checks/ascii.h"
#include "platform/text.h"

namespace ondrel {

namespace {

// One character of the ANSI code page: [p, NextChar(p)).
struct Cursor {
    const char* p;
    const char* next() const { return platform::NextChar(p); }
    bool AtEnd() const { return *p == '\0'; }
    // The current character is exactly the one byte c.
    bool Is(char c) const { return *p == c && next() == p + 1; }
    bool IsBlankChar() const { return IsBlank(*p) && next() == p + 1; }
    void Step() { p = next(); }
    void SkipBlanks() {
        while (!AtEnd() && IsBlankChar()) Step();
    }
    // Appends the current character to text and steps over it.
    void TakeInto(std::string& text) {
        const char* start = p;
        Step();
        text.append(start, p);
    }
};

}  // namespace

CheckListReader::CheckListReader(const char* text) noexcept : p_(text ? text : "") {
    Cursor c{p_};
    c.SkipBlanks();
    p_ = c.p;
}

std::optional<CheckListItem> CheckListReader::Next() {
    if (emptyItemPending_) {
        emptyItemPending_ = false;
        return CheckListItem{std::string(), group_};
    }
    Cursor c{p_};
    if (c.AtEnd()) return std::nullopt;
    CheckListItem item{std::string(), group_};
    if (c.Is('"')) {
        c.Step();
        while (!c.AtEnd()) {
            if (c.Is('"')) {
                c.Step();
                if (!c.Is('"')) break;  // the closing quote, consumed
            }
            c.TakeInto(item.text);
        }
    } else {
        while (!c.AtEnd() && !c.Is(',') && !c.IsBlankChar()) c.TakeInto(item.text);
    }
    c.SkipBlanks();
    if (c.Is(',')) {
        ++group_;
        c.Step();
        if (c.AtEnd()) emptyItemPending_ = true;  // a trailing "," adds an empty item
        c.SkipBlanks();
    }
    p_ = c.p;
    return item;
}

bool HasEntry(const char* text) {
    CheckListReader reader(text);
    while (std::optional<CheckListItem> item = reader.Next())
        if (!item->text.empty()) return true;
    return false;
}

EntryParts SplitEntry(const std::string& entry) {
    Cursor c{entry.c_str()};
    while (!c.AtEnd() && !c.Is('=')) c.Step();
    std::size_t at = static_cast<std::size_t>(c.p - entry.c_str());
    // An "=" after an embedded zero byte cannot be seen by a character walk.
    if (c.AtEnd()) return {std::string(), entry};
    return {entry.substr(0, at), entry.substr(at + 1)};
}

std::string QuoteEntry(const std::string& entry) {
    bool needs = !entry.empty() && entry.front() == '"';
    for (char c : entry)
        if (c == ',' || IsBlank(c)) needs = true;
    if (!needs) return entry;
    std::string out = "\"";
    for (char c : entry) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace ondrel
