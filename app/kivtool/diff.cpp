// kivtool diff A B [--images DIR]
#include <algorithm>
#include <bit>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>

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

// Runs work for A on this thread and for B on another at once; what the other throws (memory
// running out) is thrown here after both ended.
template <typename Work>
void onBoth(Work work) {
    std::exception_ptr failed;
    std::thread other([&work, &failed] {
        try {
            work(false);
        } catch (...) {
            failed = std::current_exception();
        }
    });
    try {
        work(true);
    } catch (...) {
        other.join();
        throw;
    }
    other.join();
    if (failed) std::rethrow_exception(failed);
}

// (key, entry) pairs, sorted by key with ties in entry order, in time linear in the count for
// keys spread like hashes: a stable radix sort of 11-bit digits over the keys' top bits (enough
// of them that few keys share them), then each run sharing them sorted whole.
struct Keyed {
    uint64_t key;
    uint32_t entry;
};
void sortByKey(std::vector<Keyed>& items) {
    constexpr int kBits = 11;
    constexpr uint64_t kMask = (uint64_t{1} << kBits) - 1;
    const int top = items.size() <= (size_t{1} << 12)   ? kBits
                    : items.size() <= (size_t{1} << 23) ? 2 * kBits
                                                        : 3 * kBits;
    std::vector<Keyed> spare(items.size());
    for (int shift = 64 - top; shift < 64; shift += kBits) {
        std::array<uint32_t, size_t{1} << kBits> count{};
        for (const Keyed& k : items) ++count[(k.key >> shift) & kMask];
        uint32_t sum = 0;
        for (uint32_t& c : count) sum += std::exchange(c, sum);
        for (const Keyed& k : items) spare[count[(k.key >> shift) & kMask]++] = k;
        items.swap(spare);
    }
    auto before = [](const Keyed& x, const Keyed& y) {
        return x.key < y.key || (x.key == y.key && x.entry < y.entry);
    };
    for (size_t first = 0; first < items.size();) {
        size_t end = first + 1;
        while (end < items.size() && items[end].key >> (64 - top) == items[first].key >> (64 - top))
            ++end;
        if (end - first > 1)
            std::sort(items.begin() + static_cast<std::ptrdiff_t>(first),
                      items.begin() + static_cast<std::ptrdiff_t>(end), before);
        first = end;
    }
}

// A hash of a stream of bytes, eight at a time whatever pieces they come in (the same bytes
// hash the same wherever they lie in the file).
class ContentHash {
  public:
    void add(const uint8_t* bytes, size_t n) {
        while (n > 0 && held_ > 0) {
            pending_ |= uint64_t{*bytes++} << (8 * held_), --n;
            if (++held_ == 8) mix(std::exchange(pending_, 0)), held_ = 0;
        }
        for (; n >= 8; bytes += 8, n -= 8) mix(loadLE64(bytes));
        for (; n > 0; --n) pending_ |= uint64_t{*bytes++} << (8 * held_++);
    }
    uint64_t value() {
        mix(pending_ ^ uint64_t{held_} << 59);
        return hash_ ^ (hash_ >> 29);
    }

  private:
    static uint64_t loadLE64(const uint8_t* p) {
        return uint64_t{static_cast<uint32_t>(loadLE32(p))} |
               uint64_t{static_cast<uint32_t>(loadLE32(p + 4))} << 32;
    }
    void mix(uint64_t word) {
        hash_ = ((hash_ << 23 | hash_ >> 41) ^ word) * 0x9E3779B97F4A7C15ull;
    }
    uint64_t hash_ = 0x243F6A8885A308D3ull, pending_ = 0;
    unsigned held_ = 0;
};

// A window of 1 MiB on an archive, for items taken mostly in the order of their data.
class Window {
  public:
    explicit Window(const ArchiveView& v) : v_(v), bytes_(size_t{1} << 20) {}
    // The item's bytes when the window holds them or can move forward to them; nullptr for
    // items behind the window or larger than it (those are read apart, so the window only moves
    // forward and reads each byte of the file at most once more than its items hold).
    const uint8_t* at(int64_t offset, int64_t length) {
        if (offset >= from_ && offset + length <= from_ + held_)
            return bytes_.data() + (offset - from_);
        const auto size = static_cast<int64_t>(bytes_.size());
        if (offset < from_ || length > size) return nullptr;
        const int64_t want = std::min(size, v_.directory().fileSize - offset);
        from_ = offset, held_ = 0;
        if (want < length || !v_.file().readAt(offset, bytes_.data(), static_cast<size_t>(want)))
            return nullptr;
        held_ = want;
        return bytes_.data();
    }

  private:
    const ArchiveView& v_;
    std::vector<uint8_t> bytes_;
    int64_t from_ = 0, held_ = 0;  // the window holds bytes from_ to from_ + held_
};

// Keys of items made from a hash of their bytes, length and flags. Items taken in the order of
// their data are read through a window, in large reads, once; the others are read apart.
class ItemKeys {
  public:
    explicit ItemKeys(const ArchiveView& v) : v_(v), window_(v) {}
    uint64_t key(const ArchiveEntry& e) {
        ContentHash hash;
        if (const uint8_t* bytes = window_.at(e.offset, e.length)) {
            hash.add(bytes, static_cast<size_t>(e.length));
        } else {
            std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(e.length, 1 << 16)));
            for (int64_t done = 0; done < e.length;) {
                const size_t step = static_cast<size_t>(
                    std::min(e.length - done, static_cast<int64_t>(block.size())));
                if (!v_.file().readAt(e.offset + done, block.data(), step)) break;
                hash.add(block.data(), step);
                done += static_cast<int64_t>(step);
            }
        }
        // An item that cannot be read keys by what was read and its shape; comparing the bytes
        // will fail.
        const uint64_t shape = static_cast<uint64_t>(static_cast<uint32_t>(e.length)) << 32 |
                               static_cast<uint32_t>(e.flags);
        return hash.value() ^ shape * 0x9E3779B97F4A7C15ull;
    }

  private:
    const ArchiveView& v_;
    Window window_;
};

// Keys of the entries of an archive that may have been renamed (without partner, data in the
// file). Items are hashed in the order of their data: those that come in order at once, the
// others after, sorted by offset.
std::vector<Keyed> contentKeys(const ArchiveView& v, const std::vector<bool>& paired) {
    ItemKeys items(v);
    std::vector<Keyed> keyed, late;
    keyed.reserve(v.size());
    int64_t last = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const ArchiveEntry& e = v.entry(i);
        if (paired[i] || e.length == 0 || !v.readable(i)) continue;
        if (e.offset >= last) {
            keyed.push_back({items.key(e), static_cast<uint32_t>(i)});
            last = e.offset;
        } else {
            late.push_back({static_cast<uint64_t>(e.offset) << 32, static_cast<uint32_t>(i)});
        }
    }
    sortByKey(late);
    ItemKeys again(v);  // a window from the start again
    for (const Keyed& k : late) keyed.push_back({again.key(v.entry(k.entry)), k.entry});
    return keyed;
}

// Whether the two entries of each pair hold the same data (inside their files, of one length,
// the same bytes). Pairs are compared in the order of A's data through a window on each file;
// a pair whose bytes the windows cannot give is read apart.
std::vector<bool> samePairs(const ArchiveView& a, const ArchiveView& b,
                            const std::vector<std::pair<size_t, size_t>>& pairs) {
    std::vector<bool> same(pairs.size());
    std::vector<Keyed> order;  // (A's offset, pair)
    for (size_t k = 0; k < pairs.size(); ++k) {
        const auto [i, j] = pairs[k];
        if (!a.readable(i) || !b.readable(j) || a.entry(i).length != b.entry(j).length) continue;
        if (a.entry(i).length == 0) {
            same[k] = true;
        } else {
            order.push_back(
                {static_cast<uint64_t>(a.entry(i).offset) << 32, static_cast<uint32_t>(k)});
        }
    }
    if (!std::is_sorted(order.begin(), order.end(),
                        [](const Keyed& x, const Keyed& y) { return x.key < y.key; }))
        sortByKey(order);
    Window fromA(a), fromB(b);
    for (const Keyed& o : order) {
        const ArchiveEntry& x = a.entry(pairs[o.entry].first);
        const ArchiveEntry& y = b.entry(pairs[o.entry].second);
        const uint8_t* bytesA = fromA.at(x.offset, x.length);
        const uint8_t* bytesB = bytesA != nullptr ? fromB.at(y.offset, y.length) : nullptr;
        same[o.entry] = bytesA != nullptr && bytesB != nullptr
                            ? std::memcmp(bytesA, bytesB, static_cast<size_t>(x.length)) == 0
                            : sameBytes(a.file(), x.offset, b.file(), y.offset, x.length);
    }
    return same;
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
    std::pair<int64_t, int64_t> ends[2];
    onBoth([&](bool onA) { ends[onA ? 0 : 1] = tail(onA ? a : b); });
    const auto [endA, tailA] = ends[0];
    const auto [endB, tailB] = ends[1];
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
    std::vector<std::pair<size_t, size_t>> renamed;  // in A's order
};

// An entry's name as a key: its bytes up to the first zero, zeros after (the bytes after a name
// do not make another name), as two words.
using NameKey = std::array<uint64_t, 2>;
NameKey nameKey(const ArchiveEntry& entry) {
    NameKey key;
    std::memcpy(key.data(), entry.name.data(), sizeof key);
    if constexpr (std::endian::native == std::endian::little) {
        // The lowest byte of a word is its first: keep the bytes below the first zero.
        bool ended = false;
        for (uint64_t& word : key) {
            const uint64_t zeros = (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
            word = ended ? 0 : zeros == 0 ? word : word & (((zeros & -zeros) >> 7) - 1);
            ended = ended || zeros != 0;
        }
    } else {
        std::array<char, kNameBytes> bytes{};
        for (size_t k = 0; k < bytes.size() && entry.name[k] != '\0'; ++k) bytes[k] = entry.name[k];
        std::memcpy(key.data(), bytes.data(), sizeof key);
    }
    return key;
}

// Drops from two lists the items whose keys cannot be in the other (a bit per value of the
// keys' top bits, set from the other list): in archives with little in common, little is left
// to sort.
void keepThoseThatMayMeet(std::vector<Keyed>& a, std::vector<Keyed>& b) {
    int bits = 12;
    while (bits < 32 && (size_t{1} << bits) < 4 * (a.size() + b.size())) ++bits;
    auto slot = [bits](const Keyed& k) { return k.key >> (64 - bits); };
    std::vector<uint64_t> seenA((size_t{1} << bits) / 64), seenB(seenA.size());
    onBoth([&](bool onA) {
        std::vector<uint64_t>& seen = onA ? seenA : seenB;
        for (const Keyed& k : onA ? a : b) seen[slot(k) >> 6] |= uint64_t{1} << (slot(k) & 63);
    });
    onBoth([&](bool onA) {
        const std::vector<uint64_t>& other = onA ? seenB : seenA;
        std::erase_if(onA ? a : b, [&](const Keyed& k) {
            return (other[slot(k) >> 6] >> (slot(k) & 63) & 1) == 0;
        });
    });
}

// (a hash of its name, entry) for each entry from first on.
std::vector<Keyed> hashedNames(const ArchiveView& v, size_t first) {
    std::vector<Keyed> names;
    names.reserve(v.size() - first);
    for (size_t i = first; i < v.size(); ++i) {
        const NameKey key = nameKey(v.entry(i));
        uint64_t h = key[0] * 0x9E3779B97F4A7C15ull ^ key[1];
        h = (h ^ h >> 32) * 0xD6E8FEB86659FD93ull;
        names.push_back({h ^ h >> 32, static_cast<uint32_t>(i)});
    }
    return names;
}

// Sorts the entries by the hash of their names: equal names in a run, in their order (names
// whose hashes meet are put in order of their keys).
void sortByName(const ArchiveView& v, std::vector<Keyed>& names) {
    sortByKey(names);
    auto key = [&v](const Keyed& k) { return std::pair(k.key, nameKey(v.entry(k.entry))); };
    for (size_t k = 1; k < names.size(); ++k) {
        if (names[k].key == names[k - 1].key && key(names[k]) != key(names[k - 1])) {
            size_t first = k - 1, last = k + 1;
            while (first > 0 && names[first - 1].key == names[k].key) --first;
            while (last < names.size() && names[last].key == names[k].key) ++last;
            std::stable_sort(names.begin() + static_cast<std::ptrdiff_t>(first),
                             names.begin() + static_cast<std::ptrdiff_t>(last),
                             [&](const Keyed& x, const Keyed& y) { return key(x) < key(y); });
            k = last - 1;
        }
    }
}

// Walks two lists sorted by key (and, among equal keys, by what tieA and tieB give, asked only
// then) and calls meet(firstA, endA, firstB, endB) for each run found in both.
template <typename TieA, typename TieB, typename Meet>
void equalRuns(const std::vector<Keyed>& a, TieA tieA, const std::vector<Keyed>& b, TieB tieB,
               Meet meet) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].key != b[j].key) {
            (a[i].key < b[j].key ? i : j) += 1;
            continue;
        }
        const auto x = tieA(a[i]);
        const auto y = tieB(b[j]);
        if (x != y) {
            (x < y ? i : j) += 1;
            continue;
        }
        size_t endA = i + 1, endB = j + 1;
        while (endA < a.size() && a[endA].key == a[i].key && tieA(a[endA]) == x) ++endA;
        while (endB < b.size() && b[endB].key == b[j].key && tieB(b[endB]) == y) ++endB;
        meet(i, endA, j, endB);
        i = endA, j = endB;
    }
}

// Entries of the same name pair up in the order they come. Where both archives start with the
// same names, those pair up place by place; the rest meet through hashes of their names.
void pairByName(const ArchiveView& a, const ArchiveView& b, Pairing& p) {
    size_t common = 0;
    while (common < a.size() && common < b.size() &&
           nameKey(a.entry(common)) == nameKey(b.entry(common)))
        ++common;
    std::vector<Keyed> namesA, namesB;
    onBoth([&](bool onA) { (onA ? namesA : namesB) = hashedNames(onA ? a : b, common); });
    keepThoseThatMayMeet(namesA, namesB);
    onBoth([&](bool onA) { sortByName(onA ? a : b, onA ? namesA : namesB); });
    std::vector<uint32_t> partner(a.size(), UINT32_MAX);
    p.pairedA.assign(a.size(), false);
    p.pairedB.assign(b.size(), false);
    for (size_t i = 0; i < common; ++i) {
        partner[i] = static_cast<uint32_t>(i);
        p.pairedA[i] = p.pairedB[i] = true;
    }
    auto keyA = [&](const Keyed& k) { return nameKey(a.entry(k.entry)); };
    auto keyB = [&](const Keyed& k) { return nameKey(b.entry(k.entry)); };
    equalRuns(namesA, keyA, namesB, keyB, [&](size_t i, size_t endA, size_t j, size_t endB) {
        for (; i < endA && j < endB; ++i, ++j) {
            partner[namesA[i].entry] = namesB[j].entry;
            p.pairedA[namesA[i].entry] = p.pairedB[namesB[j].entry] = true;
        }
    });
    for (size_t i = 0; i < a.size(); ++i) {
        if (partner[i] != UINT32_MAX) p.pairs.emplace_back(i, partner[i]);
    }
}

// Renamed: an entry of A without partner whose bytes an entry of B without partner holds, the
// first such in B's order for each in A's. Candidates meet by flags, length and a hash of their
// bytes; each item is read once for its hash and once more to be sure.
void pairByContent(const ArchiveView& a, const ArchiveView& b, Pairing& p) {
    std::vector<Keyed> fromA, fromB;
    onBoth([&](bool onA) {
        (onA ? fromA : fromB) = contentKeys(onA ? a : b, onA ? p.pairedA : p.pairedB);
    });
    keepThoseThatMayMeet(fromA, fromB);
    onBoth([&](bool onA) { sortByKey(onA ? fromA : fromB); });
    auto key = [](const Keyed&) { return 0; };
    std::vector<Keyed> renamed;  // key: the entry of B
    equalRuns(fromA, key, fromB, key, [&](size_t i, size_t endA, size_t first, size_t endB) {
        for (; i < endA; ++i) {
            const ArchiveEntry& x = a.entry(fromA[i].entry);
            for (size_t j = first; j < endB; ++j) {
                const ArchiveEntry& y = b.entry(fromB[j].entry);
                if (p.pairedB[fromB[j].entry] || x.flags != y.flags || x.length != y.length ||
                    !sameBytes(a.file(), x.offset, b.file(), y.offset, x.length)) {
                    continue;
                }
                renamed.push_back({fromB[j].entry, fromA[i].entry});
                p.pairedA[fromA[i].entry] = p.pairedB[fromB[j].entry] = true;
                break;
            }
        }
    });
    std::vector<uint32_t> partner(a.size(), UINT32_MAX);
    for (const Keyed& r : renamed) partner[r.entry] = static_cast<uint32_t>(r.key);
    for (size_t i = 0; i < a.size(); ++i) {
        if (partner[i] != UINT32_MAX) p.renamed.emplace_back(i, partner[i]);
    }
}

// Text for standard output, written a megabyte at a time.
struct Said {
    Said() { text.reserve(kSpill + 4096); }
    std::string text;
    bool any = false;
    void spill(bool all) {
        if (text.size() < (all ? 1 : kSpill)) return;
        std::fwrite(text.data(), 1, text.size(), stdout);
        text.clear();
        any = true;
    }
    static constexpr size_t kSpill = size_t{1} << 20;
};

// A line of diff being made, on the stack (the longest, a rename, takes two names of at most
// 64 characters shown and two numbers).
class Line {
  public:
    Line() {}  // the text is written before it is read
    Line& text(std::string_view piece) {
        for (const char c : piece) {
            if (size_ < sizeof text_) text_[size_++] = c;
        }
        return *this;
    }
    // An entry's name as the other lines show it (shownName): printable bytes as they are,
    // a backslash doubled, other bytes as \\xHH.
    Line& name(const ArchiveEntry& e) {
        static const char kHex[] = "0123456789abcdef";
        if (size_ + 4 * kNameBytes > sizeof text_) return *this;
        for (size_t k = 0; k < e.name.size() && e.name[k] != '\0'; ++k) {
            const auto u = static_cast<unsigned char>(e.name[k]);
            if (u >= 0x20 && u < 0x7F && u != '\\') {
                text_[size_++] = static_cast<char>(u);
            } else if (u == '\\') {
                text_[size_++] = '\\';
                text_[size_++] = '\\';
            } else {
                text_[size_++] = '\\';
                text_[size_++] = 'x';
                text_[size_++] = kHex[u >> 4];
                text_[size_++] = kHex[u & 15];
            }
        }
        return *this;
    }
    Line& number(size_t n) {
        char digits[24];
        return text(std::string_view(digits, std::to_chars(digits, digits + sizeof digits, n).ptr));
    }
    void sayTo(Said& said) {
        text("\n");
        said.text.append(text_, size_);
        said.spill(false);
    }

  private:
    char text_[256];
    size_t size_ = 0;
};

// Says the renamed, removed and added lines.
void unpairedLines(const ArchiveView& a, const ArchiveView& b, const Pairing& p, Said& said) {
    for (const auto& [i, j] : p.renamed) {
        Line()
            .text("renamed  ")
            .name(a.entry(i))
            .text(" -> ")
            .name(b.entry(j))
            .text(" (entry ")
            .number(i + 1)
            .text(" -> ")
            .number(j + 1)
            .text(")")
            .sayTo(said);
    }
    for (const auto& [v, paired, what] :
         {std::tuple(&a, &p.pairedA, "removed  "), std::tuple(&b, &p.pairedB, "added    ")}) {
        for (size_t i = 0; i < v->size(); ++i) {
            if (!(*paired)[i])
                Line()
                    .text(what)
                    .name(v->entry(i))
                    .text(" (entry ")
                    .number(i + 1)
                    .text(")")
                    .sayTo(said);
        }
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
    NameSet used;
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
bool changeLine(const ArchiveView& a, size_t i, const ArchiveView& b, size_t j, bool sameData,
                ImageOutput& images, std::string& line) {
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

// Says the lines that tell two different archives apart. False when a picture cannot be
// written.
bool differences(const ArchiveView& a, const ArchiveView& b, ImageOutput& images, Said& said) {
    std::string& out = said.text;
    Pairing p;
    pairByName(a, b, p);
    pairByContent(a, b, p);
    unpairedLines(a, b, p, said);
    const std::vector<bool> inOrder = pairsInOrder(p.pairs);
    const std::vector<bool> same = samePairs(a, b, p.pairs);
    for (size_t k = 0; k < p.pairs.size(); ++k) {
        const auto [i, j] = p.pairs[k];
        if (!inOrder[k]) {
            out += "moved    " + shownName(a, i) + " (entry " + std::to_string(i + 1) + " -> " +
                   std::to_string(j + 1) + ")\n";
        }
        std::string line;
        if (!changeLine(a, i, b, j, same[k], images, line)) return false;
        if (!line.empty()) out += line + '\n';
        said.spill(false);
    }
    const std::string outside = outsideDifference(a, b);
    if (!outside.empty()) out += "outside  " + outside + '\n';
    // The files differ, so something must be said.
    if (out.empty() && !said.any) {
        out = "outside  the files differ outside the entries (" +
              std::to_string(a.directory().fileSize) + " -> " +
              std::to_string(b.directory().fileSize) + " bytes)\n";
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
    std::string whyA, whyB;
    bool openedA = false, openedB = false;
    onBoth([&](bool onA) {
        (onA ? openedA : openedB) =
            (onA ? a : b).open(w.operands[onA ? 0 : 1], onA ? &whyA : &whyB);
    });
    for (const auto& [opened, path, why] :
         {std::tuple(openedA, &w.operands[0], &whyA), std::tuple(openedB, &w.operands[1], &whyB)}) {
        if (!opened) {
            std::fprintf(stderr, "kivtool: %s: %s\n", path->c_str(), why->c_str());
            return kToolTrouble;
        }
    }
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
    Said said;
    const bool written = differences(a, b, images, said);
    said.spill(true);
    return written ? kToolProblem : kToolTrouble;
}

const Subcommand kDiffCommand = {
    "diff", kDiffOptions,
    "  diff A B [--images DIR]        which entries were added, removed, moved, renamed, changed\n",
    diffArchives};

}  // namespace kiv
