// The fuzz targets on inputs mutated from good ones: whatever the bytes, the tool neither
// crashes nor touches memory it does not own (the sanitizer build checks the latter).
#include <gtest/gtest.h>

#include <random>

#include "archive/archive_reader.h"
#include "fuzz/fuzz_targets.h"
#include "grab/item_formats.h"
#include "support/pcx_writer.h"
#include "support/png_writer.h"
#include "support/sprite_decoder.h"
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
        kivfuzz::fuzzPcx(input.data(), input.size());
    }
}

TEST(Robustness, MutatedGrabScripts) {
    const std::string good =
        "LOADPCX pic.pcx\nRAW a 0 0 8 6\nPACKED b 0 0 8 6\nPACKEDC c 1 1 3 3\nTEXTURE d 7 5 1 1\n"
        "FONT e 0 255\nTRANSPARENT f 1\nCOLORMAP g\nPALETTE\n";
    std::mt19937 random(2);
    for (int i = 0; i < 150; ++i) {
        Bytes input = mutate(bytesOf(good), random, 1 + static_cast<int>(random() % 12));
        kivfuzz::fuzzGrabScript(input.data(), input.size());
    }
}

TEST(Robustness, MutatedArchivesAndLinkScripts) {
    const Bytes good = buildArchive(
        {{"LABEL:", {}}, {"one", patternBytes(40, 1)}, {"two", patternBytes(3, 2), 5}, {"", {}}});
    std::mt19937 random(3);
    for (int i = 0; i < 300; ++i) {
        Bytes input = mutate(good, random, 1 + static_cast<int>(random() % 6));
        kivfuzz::fuzzLink(input.data(), input.size());
    }
}

// The in-memory fuzz targets, on inputs mutated from good ones of each kind.
TEST(Robustness, MutatedInputsOfTheInMemoryReaders) {
    PcxPicture p = blankPicture(24, 10);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 24; ++x) p.at(x, y) = static_cast<uint8_t>(x % 5 == 0 ? 0 : x * y);
    }
    Bytes picture{24, 10};
    picture.insert(picture.end(), 768, 20);
    picture.insert(picture.end(), p.pixels.begin(), p.pixels.end());
    const kiv::PixelWindow window{p.pixels.data(), 240, 24, 0, 0, 24, 10};
    struct Target {
        const char* name;
        int (*run)(const uint8_t*, size_t);
        std::vector<Bytes> seeds;
    } targets[] = {
        {"pcx decoder", kivfuzz::fuzzPcxDecoder, {encodePcx(p)}},
        {"grab line", kivfuzz::fuzzGrabLine, {}},
        {"link and archive",
         kivfuzz::fuzzLinkAndArchive,
         {buildArchive({{"A:", {}}, {"x", patternBytes(9, 1)}}), bytesOf("LABEL:\nx.bin X\n")}},
        {"item readers",
         kivfuzz::fuzzItemReaders,
         {kiv::encodePackedSprite(window, false), kiv::encodePackedSprite(window, true)}},
        {"pictures and palettes", kivfuzz::fuzzPngReader,
         {bytesOf("JASC-PAL\n0100\n2\n1 2 3\n4 5 6\n"), bytesOf("GIMP Palette\n7 8 9 x\n")}},
    };
    for (const TestPng::Kind kind : {TestPng::Rgba, TestPng::GreyAlpha, TestPng::Indexed}) {
        TestPng png;
        png.width = 6, png.height = 5, png.kind = kind, png.pixels.assign(30, 3);
        for (int i = 0; i < 30; ++i) png.rgba.insert(png.rgba.end(), {uint8_t(i * 8), 9, 200, uint8_t(i * 9)});
        if (kind == TestPng::Indexed) png.rgba.clear();
        targets[4].seeds.push_back(encodePng(png));
    }
    for (const char* line :
         {"PACKED a 0 0 2 1\n", "PACKEDC a 0 0 3 1\n", "RAW r 1 0 1 1\n", "TEXTURE t 0 0 2 1\n",
          "FONT f 0 255\n", "PALETTE\n", "COLORMAP c\n", "TRANSPARENT g 1\n"}) {
        Bytes input = bytesOf(line);
        input.insert(input.end(), picture.begin(), picture.end());
        targets[1].seeds.push_back(input);
    }
    std::mt19937 random(4);
    for (const Target& target : targets) {
        SCOPED_TRACE(target.name);
        for (int i = 0; i < 200; ++i) {
            const Bytes& seed = target.seeds[static_cast<size_t>(i) % target.seeds.size()];
            Bytes input = mutate(seed, random, 1 + static_cast<int>(random() % 8));
            target.run(input.data(), input.size());
        }
    }
}

// What the strict reader lets through lies where a reader may take it, whatever the bytes; and a
// sprite the reader accepts holds exactly the pixels the test's own decoder finds.
TEST(Robustness, MutatedInputsKeepTheReadersPromises) {
    const Bytes good = buildArchive(
        {{"LABEL:", {}}, {"one", patternBytes(40, 1)}, {"two", patternBytes(3, 2), 5}, {"", {}}});
    std::mt19937 random(5);
    for (int i = 0; i < 400; ++i) {
        Bytes input = mutate(good, random, 1 + static_cast<int>(random() % 4));
        if (i % 2 == 0 && input.size() > 70)
            input[8 + random() % 60] = static_cast<uint8_t>(random());
        const auto dir = kiv::parseArchiveDirectory(input, static_cast<int64_t>(input.size()),
                                                    kiv::kStrictRules);
        std::vector<bool> faulty(dir.entries.size());
        for (const auto& problem : dir.problems) {
            if (problem.entry >= 0) faulty[static_cast<size_t>(problem.entry)] = true;
        }
        const int64_t directoryEnd = 12 + 28 * static_cast<int64_t>(dir.entries.size());
        for (size_t k = 0; k < dir.entries.size(); ++k) {
            if (faulty[k]) continue;
            const kiv::ArchiveEntry& e = dir.entries[k];
            SCOPED_TRACE(testing::Message() << "input " << i << ", entry " << k);
            ASSERT_GE(e.length, 0);
            ASSERT_GE(e.offset, e.length > 0 ? directoryEnd : 0);
            ASSERT_LE(int64_t{e.offset} + e.length, static_cast<int64_t>(input.size()));
        }
    }
    Bytes pixels(24 * 10);
    for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<uint8_t>(k % 7 == 0 ? 0 : k);
    const kiv::PixelWindow window{pixels.data(), 240, 24, 0, 0, 24, 10};
    for (const bool cropped : {false, true}) {
        const Bytes sprite = kiv::encodePackedSprite(window, cropped);
        size_t accepted = 0;
        for (int i = 0; i < 300; ++i) {
            const Bytes input = mutate(sprite, random, 1);
            const auto image = kiv::readPackedSprite(input, nullptr);
            if (!image) continue;
            ++accepted;
            const DecodedSprite own = decodeSprite(input, 0, image->cropped);
            ASSERT_EQ(own.error, "");
            ASSERT_EQ(own.size, input.size());
            ASSERT_EQ(image->pixels.size(), size_t(image->width) * size_t(image->height));
            if (image->height > 0) {
                ASSERT_EQ(image->pixels, own.pixels);
            }
        }
        EXPECT_GT(accepted, 0u);  // some mutations (a pixel's value) leave a sprite
    }
}
