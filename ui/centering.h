// Where a window of a given size lands when it is centred on the screen.
// Pure arithmetic, unit-tested natively.
#pragma once

#include <cstdint>

// Left (or top) edge that centres a window of this width (or height) on a
// screen of this width (or height); may be negative, halved toward zero.
constexpr int32_t CenteredOrigin(int32_t screenExtent, int32_t windowExtent)
{
    return (screenExtent - windowExtent) / 2;
}
