// The arithmetic of the progress dialog: where it lands when centred, and the
// percentage its bar stands for.  Pure; the percentage is unit-tested natively.
#pragma once

#include <cstdint>

// Left (or top) edge that centres a window of this width (or height) on a
// screen of this width (or height); may be negative, halved toward zero.
constexpr int32_t CenteredOrigin(int32_t screenExtent, int32_t windowExtent)
{
    return (screenExtent - windowExtent) / 2;
}

// Whole percent that bar position Q stands for when the bar's range is the
// file size; Q x 100 is computed in 64 bits, and an empty range shows 0.
constexpr uint32_t ProgressPercent(uint32_t position, uint32_t fileSize)
{
    return fileSize == 0 ? 0 : static_cast<uint32_t>(uint64_t{position} * 100 / fileSize);
}
