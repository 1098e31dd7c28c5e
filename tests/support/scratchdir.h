// A fresh directory under the system's temporary folder for one test, removed with everything in
// it when the object goes. Creation failure leaves path() empty; tests check it before use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return root; }
    // path() + "/" + relative
    std::string file(const std::string& relative) const;

private:
    std::string root;
};

// Whole-file helpers; false or an empty vector on failure.
bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool writeFileText(const std::string& path, const std::string& text);
std::vector<uint8_t> readFileBytes(const std::string& path);
