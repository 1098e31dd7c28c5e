// Fuzzes the preview chain: each input is the content of one file item, previewed the way the
// viewer and the thumbnail grid do (an allowed image format through FreeImage, else text; a PDF
// when the bytes start like one, so that poppler sees them too). Text drawing needs fonts, hence
// a QGuiApplication on the offscreen platform.
#include "Preview.h"
#include "fuzzsupport.h"
#include "volumes.h"

#include <QGuiApplication>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
constexpr size_t kMaxInput = 1024 * 1024;

// A file whose bytes are the input; reads fail whole past the end, as a fork read does.
class FuzzFileItem : public CVolumeItem {
public:
    FuzzFileItem(const uint8_t* data, size_t size, const char* itemName) : bytes(data, data + size)
    {
        setName(itemName);
        setContainer(false);
    }
    uint64_t getSize() override { return bytes.size(); }
    uint32_t read(uint64_t offset, void* buffer, uint32_t length) override
    {
        if (offset > bytes.size() || length > bytes.size() - offset)
            return 0;
        if (length > 0)
            std::memcpy(buffer, bytes.data() + offset, length);
        return length;
    }

private:
    std::vector<uint8_t> bytes;
};

Preview* preview = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "preview_fuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication application(argc, argv);
    fuzzdisk::silenceEngine();
    preview = new Preview;
    // The first text drawn loads the font configuration, whose caches live for the process: draw
    // once here, so that no input is blamed for them as a leak.
    const char text[] = "warm up the fonts\n";
    FuzzFileItem warmUp(reinterpret_cast<const uint8_t*>(text), sizeof text - 1, "warmup.txt");
    (void)preview->getFilePreview(&warmUp, 96, 64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    const bool pdf = size >= 4 && std::memcmp(data, "%PDF", 4) == 0;
    FuzzFileItem item(data, size, pdf ? "fuzz.pdf" : "fuzz.bin");
    const QImage image = preview->getFilePreview(&item, 96, 64);
    (void)image;
    return 0;
}
