// The TIFF loader as graphics input reaches it: loadtif with the alpha samples kept.
#pragma once

#include <cstdint>

#include "kroutil/image.h"

namespace kroimg {

// As loadtif; alpha (may be null: an 8-bit image covering the area) receives the fourth sample of
// RGB files and the second sample of grey files. Takes the TIFF lock.
int32_t loadTiffWithAlpha(const char* name, ImageDescriptor* img, ImageDescriptor* alpha);

}  // namespace kroimg
