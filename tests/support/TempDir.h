// A private temporary directory for one test, removed with everything in it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace velnor::test {

class TempDir {
public:
    TempDir() {
#ifdef _WIN32
        // The Windows C runtime has no mkdtemp: a random name, taken only when the
        // directory is new, so two tests never share one.
        std::random_device entropy;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "velnor-test-%08x", unsigned(entropy()));
            const auto candidate = std::filesystem::temp_directory_path() / name;
            std::error_code failed;
            if (std::filesystem::create_directory(candidate, failed))
                path_ = candidate;
        }
#else
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velnor-test-XXXXXX").string();
        if (char* made = ::mkdtemp(pattern.data()))
            path_ = made;
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const {
        return path_;
    }
    std::string file(const std::string& name) const {
        return (path_ / name).string();
    }

    std::string write(const std::string& name, const std::string& bytes) const {
        std::string p = file(name);
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::filesystem::path path_;
};

} // namespace velnor::test
