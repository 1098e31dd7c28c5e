// The read-ahead window of a scan with worker threads: every step comes back once, in the order it
// was added, with its own bytes and its own block's classification, whatever the block size.
#include "scanwindow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {
// Answers with the block number written in the block's first bytes; leaves every seventh block
// unclassified, as a worker whose library handle failed would.
class NumberClassifier : public CBlockClassifier {
public:
    void classify(const uint8_t* data, size_t size, BlockClassification& out) override
    {
        int64_t number = -1;
        if (size >= sizeof number)
            std::memcpy(&number, data, sizeof number);
        out.done = number % 7 != 3;
        out.answered = true;
        out.answer = "block " + std::to_string(number) + " of " + std::to_string(size);
    }
};

struct Seen {
    int64_t block;
    std::string bytes; // "used", or what the visit found: its number, size and classification
};
} // namespace

TEST(ScanWindow, StepsComeBackInOrderWithTheirOwnBytesAndClassification)
{
    for (const uint32_t blockSize : {512u, 4096u, 262144u, 1048576u}) {
        SCOPED_TRACE(blockSize);
        std::vector<std::unique_ptr<CBlockClassifier>> classifiers;
        for (int i = 0; i < 3; ++i)
            classifiers.push_back(std::make_unique<NumberClassifier>());
        std::vector<Seen> seen;
        CScanWindow window(
            blockSize, std::move(classifiers),
            [&](int64_t block, const uint8_t* data, uint32_t size, const BlockClassification* c) {
                if (!data) {
                    seen.push_back({block, "used"});
                    return;
                }
                int64_t number = -1;
                std::memcpy(&number, data, sizeof number);
                const std::string answer = c && c->done ? c->answer : "unclassified";
                seen.push_back({block, std::to_string(number) + " " + std::to_string(size) + " " + answer});
            });
        ASSERT_TRUE(window.ready());
        // Enough steps to fill and wrap the window several times; runs of used blocks between.
        const int64_t steps = 64 * 1048576 / blockSize + 50;
        std::vector<uint8_t> block(blockSize, 0xEE);
        for (int64_t i = 0; i < steps; ++i) {
            if (i % 5 == 4 || (i / 100) % 3 == 2) {
                window.addUsed(i);
                continue;
            }
            std::memcpy(block.data(), &i, sizeof i);
            window.addRead(i, block.data(), blockSize - uint32_t(i % 2));
        }
        window.finish();
        ASSERT_EQ(int64_t(seen.size()), steps);
        for (int64_t i = 0; i < steps; ++i) {
            const uint32_t size = blockSize - uint32_t(i % 2);
            const std::string expected = (i % 5 == 4 || (i / 100) % 3 == 2) ? "used"
                                         : i % 7 == 3 ? std::to_string(i) + " " + std::to_string(size) + " unclassified"
                                                      : std::to_string(i) + " " + std::to_string(size) + " block " +
                                                            std::to_string(i) + " of " + std::to_string(size);
            ASSERT_EQ(seen[size_t(i)].block, i);
            ASSERT_EQ(seen[size_t(i)].bytes, expected) << "step " << i;
        }
    }
}
