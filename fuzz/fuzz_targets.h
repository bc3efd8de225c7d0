// Entry points for fuzzing: each takes arbitrary bytes and must neither crash, hang nor touch
// memory it does not own. libFuzzer drives the in-memory ones (fuzz/*_fuzzer.cpp); the tests
// run all of them on mutated inputs too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivfuzz {

// In memory, no file system: the libFuzzer targets.
// The bytes as a PCX file, checked and decoded.
int fuzzPcxDecoder(const uint8_t* data, size_t size);
// A grab script line (up to the first line feed) run over a picture made of the rest: a width
// byte, a height byte, a 768-byte palette, then the pixels.
int fuzzGrabLine(const uint8_t* data, size_t size);
// The bytes as link script lines, classified; and as an archive, validated as a merge source
// and as a finished archive.
int fuzzLinkAndArchive(const uint8_t* data, size_t size);
// The bytes as every kind of item: sprite, font, texture, palette, tables; recognised and
// rendered as kivtool does.
int fuzzItemReaders(const uint8_t* data, size_t size);
// The bytes as an indexed PNG picture.
int fuzzPngReader(const uint8_t* data, size_t size);

// Whole jobs through files, as the command line runs them (for the tests).
// The bytes as a PCX file, loaded by LOADPCX and cut by every grab command.
int fuzzPcx(const uint8_t* data, size_t size);
// The bytes as a grab script, run on a small picture.
int fuzzGrabScript(const uint8_t* data, size_t size);
// The bytes as an archive merged by a link script, and as the link script itself.
int fuzzLink(const uint8_t* data, size_t size);

}  // namespace kivfuzz
