// The transfer buffer through which a job's archive data is moved: its session's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kiv {

inline constexpr size_t kTransferBufferBytes = 2 * 1024 * 1024 + 1024;

// Created by a front end before any job; false when the memory cannot be had.
bool createTransferBuffer();
void releaseTransferBuffer();
// The buffer; empty when it has not been created.
std::span<uint8_t> transferBuffer();

}  // namespace kiv
