// The fuzz targets on inputs mutated from good ones: whatever the bytes, the tool neither
// crashes nor touches memory it does not own (the sanitizer build checks the latter).
#include <gtest/gtest.h>

#include <random>

#include "fuzz/fuzz_targets.h"
#include "support/pcx_writer.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {

Bytes mutate(Bytes input, std::mt19937& random, int edits) {
    for (int e = 0; e < edits; ++e) {
        const unsigned kind = random() % 4;
        if (input.empty() || kind == 0) {
            input.insert(
                input.begin() + static_cast<long>(input.empty() ? 0 : random() % input.size()),
                static_cast<uint8_t>(random()));
        } else if (kind == 1) {
            input[random() % input.size()] = static_cast<uint8_t>(random());
        } else if (kind == 2) {
            input.resize(random() % (input.size() + 1));
        } else {
            const int interesting[] = {0, 1, 127, 128, 192, 255};
            input[random() % input.size()] = static_cast<uint8_t>(interesting[random() % 6]);
        }
    }
    return input;
}

}  // namespace

TEST(Robustness, MutatedPictures) {
    PcxPicture p = blankPicture(20, 12);
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 20; ++x)
            p.at(x, y) = static_cast<uint8_t>((x * y) % 7 == 0 ? 255 : x + y);
    }
    const Bytes good = encodePcx(p);
    std::mt19937 random(1);
    for (int i = 0; i < 300; ++i) {
        Bytes input = mutate(good, random, 1 + static_cast<int>(random() % 8));
        // Header fields are where the sizes come from: hit them often.
        if (i % 3 == 0 && input.size() > 67)
            input[4 + random() % 64] = static_cast<uint8_t>(random());
        ASSERT_EQ(kivfuzz::fuzzPcx(input.data(), input.size()), 0);
    }
}

TEST(Robustness, MutatedGrabScripts) {
    const std::string good =
        "LOADPCX pic.pcx\nRAW a 0 0 8 6\nPACKED b 0 0 8 6\nPACKEDC c 1 1 3 3\nTEXTURE d 7 5 1 1\n"
        "FONT e 0 255\nTRANSPARENT f 1\nCOLORMAP g\nPALETTE\n";
    std::mt19937 random(2);
    for (int i = 0; i < 150; ++i) {
        Bytes input = mutate(bytesOf(good), random, 1 + static_cast<int>(random() % 12));
        ASSERT_EQ(kivfuzz::fuzzGrabScript(input.data(), input.size()), 0);
    }
}

TEST(Robustness, MutatedArchivesAndLinkScripts) {
    const Bytes good = buildArchive(
        {{"LABEL:", {}}, {"one", patternBytes(40, 1)}, {"two", patternBytes(3, 2), 5}, {"", {}}});
    std::mt19937 random(3);
    for (int i = 0; i < 300; ++i) {
        Bytes input = mutate(good, random, 1 + static_cast<int>(random() % 6));
        ASSERT_EQ(kivfuzz::fuzzLink(input.data(), input.size()), 0);
    }
}
