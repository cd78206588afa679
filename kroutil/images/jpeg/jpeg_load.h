// The JPEG memory loader as the other formats reach it (TIFF's JPEG-compressed strips).
#pragma once

#include <cstdint>

#include "kroutil/image.h"

namespace kroimg {

// LoadJpegMemory with a choice: convertFromYcc false stores the three samples of a colour stream
// as red, green, blue without any conversion (a TIFF that declares its strips RGB). Takes the
// JPEG lock; a caller holding the TIFF lock keeps the order TIFF before JPEG.
int32_t loadJpegMemory(const void* data, uint32_t length, ImageDescriptor* img, bool convertFromYcc);

}  // namespace kroimg
