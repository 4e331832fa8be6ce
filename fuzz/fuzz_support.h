#pragma once
// Small helpers shared by the fuzz targets; portable, so the targets also
// build as ordinary programs that replay their corpus (fuzz/replay_test.cpp).
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace ondrel::fuzz {

// Ends the process: a fuzzer reports the input, a replay fails its test.
inline void Require(bool condition) {
    if (!condition) std::abort();
}

// A folder of its own under the system's temporary folder, made on first use
// and removed when the process ends normally.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& stem) {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(stamp));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace ondrel::fuzz
