// Reading a list the command was given, whole or a line at a time.
#include "tools/manifest/text_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/file.h"
#include "platform/prefault.h"
#include "platform/command_services.h"

namespace ondrel::tool {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Why a list that would not open cannot be read.
platform::Reason NotOpened(const std::string& name) {
    platform::Result<platform::File, platform::OpenFailure> f = platform::File::Open(name, platform::Share::ReadWrite);
    return platform::Reason{f ? "it cannot be opened" : platform::OpenFailureText(f.failure())};
}

}  // namespace

platform::Result<std::string, platform::Reason> ReadText(const std::string& name, const std::string& what) {
    using platform::Reason;
    if (name == "-") {
        std::stringstream buffer;
        buffer << std::cin.rdbuf();
        if (std::cin.bad()) return Reason{"standard input cannot be read"};
        return std::move(buffer).str();
    }
    if (platform::IsFolder(name)) return Reason{"a folder, not a " + what};
    std::ifstream in(name, std::ios::binary);
    if (!in) return NotOpened(name);
    // Read straight into the text, which is as large as the file from the
    // start: a list of many files is not copied as it grows.
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(name, error);
    std::string text;
    if (!error) {
        text.reserve(static_cast<std::size_t>(size));
        platform::PrefaultForWriting(text.data(), text.capacity());
    }
    char chunk[64 * 1024];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return Reason{"it cannot be read"};
    return text;
}

LineReader::LineReader(const std::string& name, const std::string& what, std::size_t block) {
    buffer_.resize(std::max<std::size_t>(1, block));
    data_ = buffer_.data();
    if (name == "-") {
        in_ = &std::cin;
        standardInput_ = true;
        return;
    }
    if (platform::IsFolder(name)) {
        failure_ = platform::Reason{"a folder, not a " + what};
        atEnd_ = true;
        return;
    }
    auto file = std::make_unique<std::ifstream>(name, std::ios::binary);
    if (!*file) {
        failure_ = NotOpened(name);
        atEnd_ = true;
        return;
    }
    owned_ = std::move(file);
    in_ = owned_.get();
}

LineReader::LineReader(std::istream& in, std::size_t block) : in_(&in) {
    buffer_.resize(std::max<std::size_t>(1, block));
    data_ = buffer_.data();
}

LineReader::LineReader(std::string_view text) : data_(text.data()), end_(text.size()), atEnd_(true) {}

LineReader::~LineReader() = default;

bool LineReader::Fill() {
    if (atEnd_) return false;
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        scanned_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);  // a line longer than the buffer
    data_ = buffer_.data();
    in_->read(buffer_.data() + end_, static_cast<std::streamsize>(buffer_.size() - end_));
    const std::size_t got = static_cast<std::size_t>(in_->gcount());
    end_ += got;
    if (in_->bad()) {
        failure_ = platform::Reason{standardInput_ ? "standard input cannot be read" : "it cannot be read"};
        atEnd_ = true;
        return false;
    }
    if (!*in_) atEnd_ = true;  // the end of the text
    return got > 0;
}

std::optional<TextLine> LineReader::Next() {
    if (failure_) return std::nullopt;
    if (!started_) {
        while (end_ < kByteOrderMark.size() && Fill()) {
        }
        if (failure_) return std::nullopt;
        if (std::string_view(data_, end_).substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            begin_ = scanned_ = kByteOrderMark.size();
            consumed_ = begin_;
        }
        started_ = true;
    }
    for (;;) {
        const void* feed = scanned_ < end_ ? std::memchr(data_ + scanned_, '\n', end_ - scanned_) : nullptr;
        std::size_t length, next;
        if (feed) {
            length = static_cast<std::size_t>(static_cast<const char*>(feed) - (data_ + begin_));
            next = begin_ + length + 1;
        } else {
            scanned_ = end_;
            if (Fill()) continue;
            if (failure_ || begin_ == end_) return std::nullopt;
            length = end_ - begin_;  // the last line, without a line feed
            next = end_;
        }
        std::string_view text(data_ + begin_, length);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);  // a line ended CR LF
        consumed_ += next - begin_;
        begin_ = scanned_ = next;
        return TextLine{++number_, text};
    }
}

}  // namespace ondrel::tool
