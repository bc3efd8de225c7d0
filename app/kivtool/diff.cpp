// kivtool diff A B [--images DIR]
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <tuple>
#include <unordered_set>

#include "app/kivtool/kivtool.h"
#include "picture/png_picture.h"

namespace kiv {

namespace {

// The pictures of a changed item side by side with a mask of the pixels that differ.
bool writeDiffImages(const std::string& folder, const std::string& name, const IndexedImage& before,
                     const IndexedImage& after, const std::array<uint8_t, 768>& coloursA,
                     const std::array<uint8_t, 768>& coloursB) {
    IndexedImage mask = after;
    for (size_t p = 0; p < mask.pixels.size(); ++p) {
        if (before.pixels[p] == after.pixels[p]) mask.pixels[p] = 0;
    }
    mask.transparentZero = true;
    const std::string base = inFolder(folder, name);
    std::string why;
    using Picture = std::tuple<const char*, const IndexedImage*, const std::array<uint8_t, 768>*>;
    for (const auto& [suffix, image, colours] :
         {Picture{".before.png", &before, &coloursA}, Picture{".after.png", &after, &coloursB},
          Picture{".diff.png", &mask, &coloursB}}) {
        if (!writeIndexedPng(base + suffix, *image, *colours, &why)) {
            std::fprintf(stderr, "kivtool: %s%s: %s\n", base.c_str(), suffix, why.c_str());
            return false;
        }
    }
    return true;
}

// An entry's data, said for a line of diff.
std::string described(const ArchiveView& archive, size_t i, const ItemInfo& info, size_t bytes) {
    if (!archive.readable(i)) return "data outside the file";
    return std::string(kindName(info.kind)) + " of " + std::to_string(bytes) + " bytes";
}

// Content hashes (FNV-1a over the bytes) of the items marked in wanted, 0 for the others and
// for items that cannot be read. The items are taken in the order of their data through a window
// of 1 MiB, so the file is read once, in large reads, whatever the number of items.
std::vector<uint64_t> contentHashes(const ArchiveView& v, const std::vector<bool>& wanted) {
    constexpr size_t kWindow = size_t{1} << 20;
    std::vector<size_t> byOffset;
    for (size_t i = 0; i < v.size(); ++i) {
        if (wanted[i]) byOffset.push_back(i);
    }
    std::sort(byOffset.begin(), byOffset.end(),
              [&](size_t x, size_t y) { return v.entry(x).offset < v.entry(y).offset; });
    std::vector<uint64_t> hashes(v.size(), 0);
    std::vector<uint8_t> window(kWindow);
    int64_t from = 0, held = 0;  // the window holds bytes from to from + held
    for (const size_t i : byOffset) {
        const ArchiveEntry& e = v.entry(i);
        uint64_t hash = 1469598103934665603ull;
        bool whole = true;
        for (int64_t done = 0; done < e.length && whole;) {
            const int64_t at = e.offset + done;
            if (at < from || at >= from + held) {
                const int64_t want = std::min<int64_t>(kWindow, v.directory().fileSize - at);
                whole = want > 0 && v.file().readAt(at, window.data(), static_cast<size_t>(want));
                from = at, held = whole ? want : 0;
                if (!whole) break;
            }
            const int64_t step = std::min(e.length - done, from + held - at);
            const uint8_t* bytes = window.data() + (at - from);
            for (int64_t k = 0; k < step; ++k) hash = (hash ^ bytes[k]) * 1099511628211ull;
            done += step;
        }
        hashes[i] = whole ? hash : 0;
    }
    return hashes;
}

// What lies after the last item (both files have the right magic, or they would not be open).
std::string outsideDifference(const ArchiveView& a, const ArchiveView& b) {
    auto tail = [](const ArchiveView& v) {
        int64_t end = static_cast<int64_t>(kHeaderBytes) +
                      static_cast<int64_t>(v.size()) * static_cast<int64_t>(kEntryBytes);
        for (size_t i = 0; i < v.size(); ++i) {
            if (v.readable(i) && v.entry(i).length > 0) {
                end = std::max(end, static_cast<int64_t>(v.entry(i).offset) + v.entry(i).length);
            }
        }
        return std::pair<int64_t, int64_t>(end, v.directory().fileSize - end);
    };
    const auto [endA, tailA] = tail(a);
    const auto [endB, tailB] = tail(b);
    if (tailA != tailB) {
        return "after the last item: " + std::to_string(tailA) + " bytes -> " +
               std::to_string(tailB) + " bytes";
    }
    if (tailA > 0 && !sameBytes(a.file(), endA, b.file(), endB, tailA)) {
        return "the " + std::to_string(tailA) + " bytes after the last item differ";
    }
    return "";
}

}  // namespace

namespace {

constexpr OptionEntry kImagesOption{
    "--images", "DIR", "before, after and difference pictures of changed graphic items"};

const OptionEntry kDiffOptions[] = {
    kImagesOption,
    {"-h, --help", nullptr, "this text"},
};

// The two archives' entries paired: by name in the order they come, then by content
// (renames); what is left over was added or removed.
struct Pairing {
    std::vector<std::pair<size_t, size_t>> pairs;  // by name, in A's order
    std::vector<bool> pairedA, pairedB;
    std::vector<std::string> lines;  // renamed, removed, added
};

// An entry's name as a key: its bytes up to the first zero, zeros after (the bytes after a name
// do not make another name).
using NameKey = std::array<char, 16>;
NameKey nameKey(const ArchiveEntry& entry) {
    NameKey key{};
    for (size_t k = 0; k < key.size() && k < entry.name.size() && entry.name[k] != '\0'; ++k)
        key[k] = entry.name[k];
    return key;
}

// Entries of the same name pair up in the order they come: B's names sorted (each name's
// entries in their order), a cursor a name.
void pairByName(const ArchiveView& a, const ArchiveView& b, Pairing& p) {
    std::vector<std::pair<NameKey, size_t>> namesB;
    namesB.reserve(b.size());
    for (size_t j = 0; j < b.size(); ++j) namesB.emplace_back(nameKey(b.entry(j)), j);
    std::sort(namesB.begin(), namesB.end());
    std::vector<size_t> cursor(namesB.size(), 0);  // per name's first place: how many taken
    p.pairedA.assign(a.size(), false);
    p.pairedB.assign(b.size(), false);
    for (size_t i = 0; i < a.size(); ++i) {
        const NameKey name = nameKey(a.entry(i));
        const auto first = std::lower_bound(
            namesB.begin(), namesB.end(), name,
            [](const std::pair<NameKey, size_t>& x, const NameKey& n) { return x.first < n; });
        if (first == namesB.end() || first->first != name) continue;
        const auto start = static_cast<size_t>(first - namesB.begin());
        const size_t next = start + cursor[start];
        if (next < namesB.size() && namesB[next].first == name) {
            p.pairs.emplace_back(i, namesB[next].second);
            p.pairedA[i] = p.pairedB[namesB[next].second] = true;
            ++cursor[start];
        }
    }
}

// Renamed: an entry of A without partner whose bytes an entry of B without partner holds.
// Candidates meet by flags, length and a hash of their bytes (sorted keys, no map); each item
// is read once for its hash and once more to be sure.
void pairByContent(const ArchiveView& a, const ArchiveView& b, Pairing& p) {
    auto withData = [](const ArchiveView& v, const std::vector<bool>& paired) {
        std::vector<bool> wanted(v.size());
        for (size_t i = 0; i < v.size(); ++i)
            wanted[i] = !paired[i] && v.entry(i).length > 0 && v.readable(i);
        return wanted;
    };
    const std::vector<bool> hashA = withData(a, p.pairedA), hashB = withData(b, p.pairedB);
    const std::vector<uint64_t> contentA = contentHashes(a, hashA),
                                contentB = contentHashes(b, hashB);
    auto key = [](const ArchiveView& v, size_t i, uint64_t content) {
        const ArchiveEntry& e = v.entry(i);
        return content ^ (static_cast<uint64_t>(static_cast<uint32_t>(e.length)) << 32 |
                          static_cast<uint32_t>(e.flags)) *
                             0x9E3779B97F4A7C15ull;
    };
    std::vector<std::pair<uint64_t, size_t>> unpairedB;
    for (size_t j = 0; j < b.size(); ++j) {
        if (hashB[j]) unpairedB.emplace_back(key(b, j, contentB[j]), j);
    }
    std::sort(unpairedB.begin(), unpairedB.end());
    for (size_t i = 0; i < a.size(); ++i) {
        if (!hashA[i]) continue;
        const uint64_t k = key(a, i, contentA[i]);
        auto found =
            std::lower_bound(unpairedB.begin(), unpairedB.end(), std::pair<uint64_t, size_t>{k, 0});
        for (; found != unpairedB.end() && found->first == k; ++found) {
            const size_t j = found->second;
            if (p.pairedB[j]) continue;
            const ArchiveEntry& x = a.entry(i);
            const ArchiveEntry& y = b.entry(j);
            if (x.flags != y.flags || x.length != y.length ||
                !sameBytes(a.file(), x.offset, b.file(), y.offset, x.length)) {
                continue;
            }
            p.lines.push_back("renamed  " + shownName(a, i) + " -> " + shownName(b, j) +
                              " (entry " + std::to_string(i + 1) + " -> " + std::to_string(j + 1) +
                              ")");
            p.pairedA[i] = p.pairedB[j] = true;
            break;
        }
    }
}

void addedAndRemoved(const ArchiveView& a, const ArchiveView& b, Pairing& p) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (!p.pairedA[i])
            p.lines.push_back("removed  " + shownName(a, i) + " (entry " + std::to_string(i + 1) +
                              ")");
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (!p.pairedB[j])
            p.lines.push_back("added    " + shownName(b, j) + " (entry " + std::to_string(j + 1) +
                              ")");
    }
}

// Which pairs keep their order: the longest run of pairs in increasing B position; the others
// moved.
std::vector<bool> pairsInOrder(const std::vector<std::pair<size_t, size_t>>& pairs) {
    std::vector<size_t> tails, tailIndex, parent(pairs.size(), SIZE_MAX);
    for (size_t k = 0; k < pairs.size(); ++k) {
        const size_t at = static_cast<size_t>(
            std::lower_bound(tails.begin(), tails.end(), pairs[k].second) - tails.begin());
        if (at == tails.size()) {
            tails.push_back(pairs[k].second);
            tailIndex.push_back(k);
        } else {
            tails[at] = pairs[k].second;
            tailIndex[at] = k;
        }
        if (at > 0) parent[k] = tailIndex[at - 1];
    }
    std::vector<bool> inOrder(pairs.size());
    for (size_t k = tailIndex.empty() ? SIZE_MAX : tailIndex.back(); k != SIZE_MAX; k = parent[k])
        inOrder[k] = true;
    return inOrder;
}

// For --images: the folder, the colours of both archives, the file names given out.
struct ImageOutput {
    std::string folder;
    std::array<uint8_t, 768> coloursA{}, coloursB{};
    std::unordered_set<std::string> used;
};

// How two graphic items of one kind differ: their size, the pixels that differ; the pictures
// written when asked for. False when a picture cannot be written.
bool pictureChange(const ArchiveView& a, size_t i, const ItemInfo& infoA,
                   const std::vector<IndexedImage>& picturesA, const ItemInfo& infoB,
                   const std::vector<IndexedImage>& picturesB, const std::string& sizes,
                   ImageOutput& images, std::string& text) {
    const IndexedImage& pa = picturesA[0];
    const IndexedImage& pb = picturesB[0];
    text = std::string(kindName(infoA.kind)) + " " + infoA.detail;
    if (pa.width != pb.width || pa.height != pb.height || picturesA.size() != picturesB.size()) {
        text += " -> " + infoB.detail;
        return true;
    }
    size_t differ = 0, pixels = 0;
    for (size_t level = 0; level < picturesA.size(); ++level) {
        const auto& pixelsA = picturesA[level].pixels;
        const auto& pixelsB = picturesB[level].pixels;
        pixels += pixelsA.size();
        for (size_t at = 0; at < pixelsA.size(); ++at) differ += pixelsA[at] != pixelsB[at];
    }
    const bool cells = infoA.kind == ItemKind::ShadeTable || infoA.kind == ItemKind::BlendTable;
    text += ", " + std::to_string(differ) + " of " + std::to_string(pixels) +
            (cells ? " cells differ" : " pixels differ");
    // Same pixels from other bytes (a re-encoding): still a change.
    if (differ == 0) text += " (same pixels, other bytes: " + sizes + ")";
    return images.folder.empty() ||
           writeDiffImages(images.folder, safeFileName(a.name(i), i, images.used), pa, pb,
                           images.coloursA, images.coloursB);
}

// How the data of a pair differs. False when a picture cannot be written.
bool dataChange(const ArchiveView& a, size_t i, const ArchiveView& b, size_t j, ImageOutput& images,
                std::string& text) {
    const bool bothReadable = a.readable(i) && b.readable(j);
    const std::vector<uint8_t> before = a.item(i), after = b.item(j);
    const ItemInfo infoA = a.readable(i) ? recogniseItem(a.name(i), before) : itemInfo(a, i);
    const ItemInfo infoB = b.readable(j) ? recogniseItem(b.name(j), after) : itemInfo(b, j);
    const auto picturesA = renderItem(infoA, before), picturesB = renderItem(infoB, after);
    const std::string sizes =
        described(a, i, infoA, before.size()) + " -> " + described(b, j, infoB, after.size());
    if (bothReadable && infoA.kind == infoB.kind && !picturesA.empty() && !picturesB.empty() &&
        infoA.kind != ItemKind::Palette) {
        return pictureChange(a, i, infoA, picturesA, infoB, picturesB, sizes, images, text);
    }
    text = sizes;
    // Raw items of one size (colour tables among them): how many cells differ.
    if (bothReadable && infoA.kind == ItemKind::Raw && infoB.kind == ItemKind::Raw &&
        before.size() == after.size()) {
        size_t differ = 0;
        for (size_t at = 0; at < before.size(); ++at) differ += before[at] != after[at];
        text += ", " + std::to_string(differ) + " of " + std::to_string(before.size()) +
                " cells differ";
    }
    return true;
}

// The line of a pair that changed, or "" when the two hold the same (flags, the whole name
// field, bytes, and for zero-length entries the offset). False when a picture cannot be written.
bool changeLine(const ArchiveView& a, size_t i, const ArchiveView& b, size_t j, ImageOutput& images,
                std::string& line) {
    const ArchiveEntry& x = a.entry(i);
    const ArchiveEntry& y = b.entry(j);
    std::vector<std::string> what;
    if (x.flags != y.flags) {
        char text[48];
        std::snprintf(text, sizeof text, "flags %08" PRIx32 " -> %08" PRIx32,
                      static_cast<uint32_t>(x.flags), static_cast<uint32_t>(y.flags));
        what.emplace_back(text);
    }
    if (x.name != y.name) what.emplace_back("the bytes after the name differ");
    const bool sameData =
        a.readable(i) && b.readable(j) && x.length == y.length &&
        (x.length == 0 || sameBytes(a.file(), x.offset, b.file(), y.offset, x.length));
    if (sameData && x.length == 0 && x.offset != y.offset) {
        what.push_back("zero-length entry at offset " + std::to_string(x.offset) + " -> " +
                       std::to_string(y.offset));
    }
    if (!sameData) {
        std::string text;
        if (!dataChange(a, i, b, j, images, text)) return false;
        what.push_back(text);
    }
    line.clear();
    if (what.empty()) return true;
    line = "changed  " + shownName(a, i) + ": ";
    for (size_t n = 0; n < what.size(); ++n) line += (n > 0 ? "; " : "") + what[n];
    return true;
}

const char* const kDiffHelp =
    "usage: kivtool diff A B [--images DIR]\n"
    "Says which entries were added, removed, moved, renamed or changed (flags, name\n"
    "bytes, data; for a changed graphic item its size and how many pixels differ), and\n"
    "what differs outside the entries (the magic, bytes after the last item).\n"
    "--images writes NAME.before.png, NAME.after.png and NAME.diff.png for changed\n"
    "pictures of one size. Exit status: 0 the two files hold the same entries (flags,\n"
    "names, bytes, order) and nothing else, 1 different, 2 trouble.\n";

// The lines that tell two different archives apart. False when a picture cannot be written.
bool differences(const ArchiveView& a, const ArchiveView& b, ImageOutput& images,
                 std::vector<std::string>& lines) {
    Pairing p;
    pairByName(a, b, p);
    pairByContent(a, b, p);
    addedAndRemoved(a, b, p);
    lines = std::move(p.lines);
    const std::vector<bool> inOrder = pairsInOrder(p.pairs);
    for (size_t k = 0; k < p.pairs.size(); ++k) {
        const auto [i, j] = p.pairs[k];
        if (!inOrder[k]) {
            lines.push_back("moved    " + shownName(a, i) + " (entry " + std::to_string(i + 1) +
                            " -> " + std::to_string(j + 1) + ")");
        }
        std::string line;
        if (!changeLine(a, i, b, j, images, line)) return false;
        if (!line.empty()) lines.push_back(line);
    }
    const std::string outside = outsideDifference(a, b);
    if (!outside.empty()) lines.push_back("outside  " + outside);
    // The files differ, so something must be said.
    if (lines.empty()) {
        lines.push_back("outside  the files differ outside the entries (" +
                        std::to_string(a.directory().fileSize) + " -> " +
                        std::to_string(b.directory().fileSize) + " bytes)");
    }
    return true;
}

}  // namespace

static int diffArchives(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, kDiffOptions);
    if (w.help) return subcommandHelp(kDiffHelp, kDiffOptions);
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.size() != 2) return usageError("diff takes two archives");
    ArchiveView a, b;
    if (!openForReading(a, w.operands[0]) || !openForReading(b, w.operands[1])) return kToolTrouble;
    ImageOutput images;
    images.folder = (w.has(kImagesOption) ? w.value(kImagesOption) : std::string(""));
    if (!images.folder.empty() && !makeFolder(images.folder)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", images.folder.c_str());
        return kToolTrouble;
    }
    // The same file: nothing to say.
    const int64_t sizeA = a.directory().fileSize, sizeB = b.directory().fileSize;
    if (sizeA == sizeB && sameBytes(a.file(), 0, b.file(), 0, sizeA)) return kToolOk;
    if (!images.folder.empty()) {
        chooseColours(a, "", images.coloursA);
        chooseColours(b, "", images.coloursB);
    }
    std::vector<std::string> lines;
    if (!differences(a, b, images, lines)) return kToolTrouble;
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return kToolProblem;
}

const Subcommand kDiffCommand = {
    "diff", kDiffOptions,
    "  diff A B [--images DIR]        which entries were added, removed, moved, renamed, changed\n",
    diffArchives};

}  // namespace kiv
