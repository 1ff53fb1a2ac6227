// A directory under /tmp that exists for the life of one test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vorn::testing {

class temp_dir {
public:
    temp_dir() {
        std::string pattern = "/tmp/vorn-unit-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

    std::string make_dirs(const std::string& relative) const {
        std::filesystem::create_directories(*this / relative);
        return *this / relative;
    }
    void write(const std::string& relative, const std::string& text) const {
        std::ofstream(*this / relative) << text;
    }

private:
    std::string path_;
};

}  // namespace vorn::testing
