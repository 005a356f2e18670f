#pragma once

// The C side of the JPEG codec: error, source and destination managers for libjpeg and
// the one frame that library calls run in. Internal to the codec.

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

// jpeglib.h needs <cstdio> first; jerror.h needs jpeglib.h.
#include <jpeglib.h>
#include <jerror.h>

namespace morvane {

class TStream;
struct TProgressRec;

namespace detail {

// The library's error exit longjmps to `jump`; warnings are counted.
struct JpegErrorManager {
    jpeg_error_mgr pub;  // first member: the library addresses it through cinfo->err
    std::jmp_buf jump;
    int errorCode;
    int warningCount;
    int lastWarningCode;
};
// Installs the library's defaults and our hooks (error exit, silent messages).
jpeg_error_mgr* InitJpegErrors(JpegErrorManager& manager);

// The library's text for `code`, each printf placeholder shown as "?"; "Corrupted" for a
// code without text.
std::string JpegMessageText(const jpeg_error_mgr& err, int code);

// Runs `call` (a closure owning nothing with a destructor, calling library functions
// only) with the library's error exit aimed here. Returns false when the library raised;
// manager.errorCode then holds the code. Nothing with a destructor lives in the frames
// a longjmp leaves: this frame, the closure and the library's own.
template <typename Call>
[[gnu::noinline]] bool JpegTry(JpegErrorManager& manager, Call call) {
    static_assert(std::is_trivially_destructible_v<Call>);
    if (setjmp(manager.jump) != 0) return false;
    call();
    return true;
}

// The single translation of a library failure into C++: sets Aborting and throws
// EJpegError, except for "Application transferred too few scanlines", which raises
// nothing.
void RaiseJpegFailure(const JpegErrorManager& manager, TProgressRec& progress);

inline constexpr size_t kJpegStreamBufferSize = 65536;

// Source manager over a TStream. When the stream has nothing more it supplies a fake
// end-of-image marker (and sets Aborting when nothing at all had been read).
struct JpegSource {
    jpeg_source_mgr pub;
    TStream* stream;
    TProgressRec* progress;
    bool anyData;
    bool fakeEoi;  // the data ended before the library found its end-of-image
    JOCTET buffer[kJpegStreamBufferSize];
};
std::unique_ptr<JpegSource> MakeJpegSource(TStream& stream, TProgressRec& progress);

// Destination manager over a TStream; a short write (also of the last partial buffer)
// sets Aborting.
struct JpegDestination {
    jpeg_destination_mgr pub;
    TStream* stream;
    TProgressRec* progress;
    JOCTET buffer[kJpegStreamBufferSize];
};
std::unique_ptr<JpegDestination> MakeJpegDestination(TStream& stream, TProgressRec& progress);

}  // namespace detail
}  // namespace morvane
