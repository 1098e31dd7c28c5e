// A fresh temporary directory, removed with its contents when the object goes (path() empty on failure).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ScratchDir {
public:
    ScratchDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/gleaner-test-XXXXXX";
        if (::mkdtemp(pattern.data()))
            root = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return root; }
    std::string file(const std::string& relative) const { return root + "/" + relative; }

private:
    std::string root;
};
inline bool writeFileText(const std::string& path, const std::string& text)
{
    return bool(std::ofstream(path, std::ios::binary | std::ios::trunc) << text);
}
inline bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    return writeFileText(path, std::string(bytes.begin(), bytes.end()));
}
inline std::vector<uint8_t> readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
