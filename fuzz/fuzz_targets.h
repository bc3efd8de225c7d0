// Entry points for fuzzing: each takes arbitrary bytes and must neither crash nor touch memory
// it does not own. libFuzzer drives them (fuzz/*_fuzzer.cpp); the tests run them on mutated
// inputs too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivfuzz {

// The bytes as a PCX file, loaded by LOADPCX and cut by every grab command.
int fuzzPcx(const uint8_t* data, size_t size);
// The bytes as a grab script, run on a small picture.
int fuzzGrabScript(const uint8_t* data, size_t size);
// The bytes as an archive merged by a link script, and as the link script itself.
int fuzzLink(const uint8_t* data, size_t size);

}  // namespace kivfuzz
