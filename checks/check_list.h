#pragma once
// The grammar of check lists: items split from the text one at a time, the
// name and value of an entry, and the writer that quotes an entry so that
// splitting gives it back.
#include <cstddef>
#include <optional>
#include <string>

namespace ondrel {

// One item of a check list, with the number of its group: items that only
// blanks separate share a group (they were probably meant as one entry); a
// "," starts the next group.
struct CheckListItem {
    std::string text;
    std::size_t group = 0;
};

// The items of a check list, read as they are asked for, so that a long
// list costs no more memory than its longest item: "," between items,
// double quotes around an item that holds commas or blanks (a doubled quote
// stands for one), and any byte from 1 to 32 ending an unquoted item. A
// trailing "," adds an empty item; blanks alone after a "," add none.
// Characters are those of the ANSI code page (CharNextA). A null text is
// the empty text. The text must outlive the reader.
class CheckListReader {
public:
    explicit CheckListReader(const char* text) noexcept;
    // The next item; nothing after the last. Throws std::bad_alloc.
    std::optional<CheckListItem> Next();

private:
    const char* p_;
    std::size_t group_ = 0;
    bool emptyItemPending_ = false;  // a trailing "," was read
};

// Whether the list has an entry with some text. Blanks, control bytes and
// lone commas give none: blanks alone hold for any file, and the empty
// entries of lone commas for none. Throws std::bad_alloc.
bool HasEntry(const char* text);

// Name and value of one entry: the text before and after its first "=".
// Without "=" the name is empty and the value is the whole entry.
struct EntryParts {
    std::string name;
    std::string value;
};
EntryParts SplitEntry(const std::string& entry);

// The entry as a check-list item that splits back into exactly it: in
// double quotes (inner quotes doubled) when it holds a comma or a blank, or
// starts with a quote; else unchanged.
std::string QuoteEntry(const std::string& entry);

}  // namespace ondrel
