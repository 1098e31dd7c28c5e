// The preview worker: decodes the pictures the application asks for, one request at a time, on
// descriptor 3, inside the limits of previewsandbox.h. Started by the application, never by a
// person:
//
//   gleaner-preview-worker image|pdf ADDRESS_SPACE_BYTES CPU_MS_PER_REQUEST
//
// Ends with status 0 when the application closes the descriptor or sends what is no request, and 2
// when the limits cannot be set; a request past its CPU time or memory ends it by a signal.
#include "previewdecode.h"
#include "previewprotocol.h"
#include "previewsandbox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kRequestFd = 3;

// A one-page PDF with a line of text in a standard font: rendering it before the sandbox closes
// loads the font configuration, which later pages only read.
const char kWarmUpPdf[] = "%PDF-1.4\n"
                          "1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                          "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                          "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 60 20]/Contents 4 0 R"
                          "/Resources<</Font<</F1 5 0 R>>>>>>endobj\n"
                          "4 0 obj<</Length 35>>stream\nBT /F1 12 Tf 2 6 Td (Warm up) Tj ET\nendstream endobj\n"
                          "5 0 obj<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>endobj\n"
                          "trailer<</Root 1 0 R>>\n%%EOF\n";

uint64_t parseNumber(const char* text)
{
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return end && *end == '\0' ? uint64_t(value) : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "image") != 0 && std::strcmp(argv[1], "pdf") != 0)) {
        std::fprintf(stderr, "usage: gleaner-preview-worker image|pdf ADDRESS_SPACE_BYTES CPU_MS_PER_REQUEST\n");
        return 2;
    }
    const bool pdf = std::strcmp(argv[1], "pdf") == 0;
    PreviewLimits limits;
    limits.addressSpaceBytes = parseNumber(argv[2]);
    limits.cpuMillisecondsPerRequest = uint32_t(parseNumber(argv[3]));
    if (limits.addressSpaceBytes == 0 || limits.cpuMillisecondsPerRequest == 0) {
        std::fprintf(stderr, "gleaner-preview-worker: limits must be positive\n");
        return 2;
    }

    initialisePreviewDecoders();
    if (pdf)
        (void)decodePdfPreview(reinterpret_cast<const uint8_t*>(kWarmUpPdf), sizeof kWarmUpPdf - 1, 60, 20);
    // Standard output gets its buffer now: setting one up later asks the terminal (ioctl), which
    // the filter forbids.
    static char outputBuffer[BUFSIZ];
    std::setvbuf(stdout, outputBuffer, _IOLBF, sizeof outputBuffer);
    if (!enterPreviewSandbox(pdf ? PreviewSandboxKind::ReadOnlyFiles : PreviewSandboxKind::NoFiles, limits,
                             kRequestFd)) {
        std::fprintf(stderr, "gleaner-preview-worker: cannot set its limits\n");
        return 2;
    }

    PreviewRequest request;
    for (;;) {
        // _exit: the leak check of a sanitizer build would stop the process with calls the filter
        // forbids, and nothing here needs the destructors.
        if (!readPreviewRequest(kRequestFd, &request) || (request.kind == PreviewKind::Pdf) != pdf)
            _exit(0);
        startRequestTimer(limits.cpuMillisecondsPerRequest);
        const PreviewPicture picture = decodePreview(request);
        stopRequestTimer();
        if (!writePreviewPicture(kRequestFd, picture))
            _exit(0);
    }
}
