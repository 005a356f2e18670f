#include <array>

#include "ioframe.h"
#include "jpeg/jpegcodec.h"

namespace morvane {

namespace {

// One row per codec; a codec plugs in by adding its entry here.
constexpr std::array kCodecs{
    TCodecEntry{ftJPEG, ReadJpegCodec, WriteJpegCodec, PrepareJpegSave},
};

}  // namespace

const TCodecEntry* FindCodec(int32_t fileType) {
    for (const TCodecEntry& codec : kCodecs) {
        if (codec.FileType == fileType) return &codec;
    }
    return nullptr;
}

}  // namespace morvane
