// Fuzzes the preview worker's decode entry: each input is the content of one file, decoded as the
// worker decodes an image request (every format FreeImage identifies and reads) and, when the
// bytes start like a PDF, as a PDF page too, so that poppler sees them. In the application this
// runs in the sandboxed worker process; here in-process, so the sanitizers see every fault.
#include "fuzzsupport.h"
#include "previewdecode.h"

#include <cstdint>
#include <cstring>

namespace {
constexpr size_t kMaxInput = 1024 * 1024;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzdisk::silenceEngine();
    initialisePreviewDecoders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    PreviewRequest request;
    request.width = 96;
    request.height = 64;
    request.bytes.assign(data, data + size);
    (void)decodePreview(request);
    if (size >= 4 && std::memcmp(data, "%PDF", 4) == 0) {
        request.kind = PreviewKind::Pdf;
        (void)decodePreview(request);
    }
    return 0;
}
