#pragma once
// Reading a list the command was given (a manifest, a catalogue): whole, or
// a line at a time in a bounded window; a file by name, or standard input
// for "-".
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace ondrel::tool {

// The text of the list, or why it cannot be read. what names the kind of
// list ("manifest", "catalogue") for a folder given instead of one.
platform::Result<std::string, platform::Reason> ReadText(const std::string& name, const std::string& what);

// A line of a text file as manifests and catalogues read them: numbered
// from 1, without its line feed and without a carriage return before it.
struct TextLine {
    std::size_t number = 0;
    std::string_view text;
};

// The lines of a list read a block at a time, so that a long list never
// lies in memory whole: a UTF-8 byte-order mark at the start skipped, each
// line without its line feed and without a carriage return before it, the
// last one without a line feed too. A line longer than a block grows the
// buffer to hold it. Over a text in memory, the same lines without a copy.
class LineReader {
public:
    static constexpr std::size_t kBlock = 1024 * 1024;

    // The list of that name (what as for ReadText); Failure() says why it
    // cannot be read, as ReadText says it.
    LineReader(const std::string& name, const std::string& what, std::size_t block = kBlock);
    // A stream the caller keeps open (read in blocks of this size).
    explicit LineReader(std::istream& in, std::size_t block = kBlock);
    // A text in memory, which the caller keeps.
    explicit LineReader(std::string_view text);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line, its text valid until the next call; nothing at the
    // end of the text, or when it cannot be read (Failure says why).
    std::optional<TextLine> Next();
    const std::optional<platform::Reason>& Failure() const noexcept { return failure_; }
    // Bytes of the list up to the end of the last line given.
    std::uint64_t Consumed() const noexcept { return consumed_; }

private:
    // Reads more after what the buffer holds (moved to its start, the
    // buffer grown when full); false at the end or on a failure.
    bool Fill();

    std::unique_ptr<std::istream> owned_;
    std::istream* in_ = nullptr;
    bool standardInput_ = false;
    std::vector<char> buffer_;
    const char* data_ = nullptr;  // the buffer's bytes, or the text in memory
    std::size_t begin_ = 0;       // the next line starts here
    std::size_t scanned_ = 0;     // no line feed from begin_ up to here
    std::size_t end_ = 0;         // bytes held
    bool atEnd_ = false;          // nothing more to read
    bool started_ = false;        // the byte-order mark is behind
    std::size_t number_ = 0;
    std::uint64_t consumed_ = 0;
    std::optional<platform::Reason> failure_;
};

}  // namespace ondrel::tool
