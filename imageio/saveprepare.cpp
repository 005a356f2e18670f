#include "ioframe.h"

namespace morvane {

// Apart from the frame so that the pixel conversion is linked only where a codec uses it.
void PrepareAs24RGB(TImageBuffer& bitmap, TImageParams&) {
    if (bitmap.IsEmpty() || bitmap.PixelFormat() == pf24RGB || bitmap.PixelFormat() == pf1g)
        return;
    bitmap.PixelFormat(pf24RGB);
}

}  // namespace morvane
