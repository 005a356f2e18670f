#include "jpegglue.h"

#include <cctype>
#include <cstring>

#include "ioframe.h"
#include "jpegcodec.h"
#include "streams.h"

namespace morvane::detail {

namespace {

// These run inside library calls: no exception may leave them and nothing here owns an
// object with a destructor when the error exit longjmps.
void ErrorExit(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    manager->errorCode = cinfo->err->msg_code;
    std::longjmp(manager->jump, 1);
}

void EmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    auto* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    ++manager->warningCount;
    ++cinfo->err->num_warnings;
    manager->lastWarningCode = cinfo->err->msg_code;
}

void OutputMessage(j_common_ptr) {}

void InitSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
    auto* source = reinterpret_cast<JpegSource*>(cinfo->src);
    size_t count = 0;
    try {
        count = source->stream->Read(source->buffer, kJpegStreamBufferSize);
    } catch (...) {
        count = 0;
        source->progress->Abort();
    }
    if (count == 0) {
        if (!source->anyData) source->progress->Abort();
        // A fake end-of-image lets the library end the image with what it has.
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        count = 2;
        source->fakeEoi = true;
        WARNMS(cinfo, JWRN_JPEG_EOF);
    } else {
        source->anyData = true;
    }
    source->pub.next_input_byte = source->buffer;
    source->pub.bytes_in_buffer = count;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    auto* source = reinterpret_cast<JpegSource*>(cinfo->src);
    if (count <= 0) return;
    size_t remaining = size_t(count);
    while (remaining > source->pub.bytes_in_buffer) {
        remaining -= source->pub.bytes_in_buffer;
        FillInputBuffer(cinfo);
        if (source->fakeEoi) return;  // the data has ended: the library meets the fake EOI

    }
    source->pub.next_input_byte += remaining;
    source->pub.bytes_in_buffer -= remaining;
}

void TermSource(j_decompress_ptr) {}

void InitDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kJpegStreamBufferSize;
}

void WriteOut(JpegDestination* dest, size_t count) {
    if (count == 0) return;
    size_t written = 0;
    try {
        written = dest->stream->Write(dest->buffer, count);
    } catch (...) {
        written = 0;
    }
    if (written != count) dest->progress->Abort();
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    WriteOut(dest, kJpegStreamBufferSize);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kJpegStreamBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    WriteOut(dest, kJpegStreamBufferSize - dest->pub.free_in_buffer);
}

}  // namespace

jpeg_error_mgr* InitJpegErrors(JpegErrorManager& manager) {
    jpeg_std_error(&manager.pub);
    manager.pub.error_exit = ErrorExit;
    manager.pub.emit_message = EmitMessage;
    manager.pub.output_message = OutputMessage;
    manager.errorCode = 0;
    manager.warningCount = 0;
    manager.lastWarningCode = 0;
    return &manager.pub;
}

std::string JpegMessageText(const jpeg_error_mgr& err, int code) {
    const char* format = nullptr;
    if (code > 0 && code <= err.last_jpeg_message) {
        format = err.jpeg_message_table[code];
    } else if (code == 0) {
        format = err.jpeg_message_table[0];  // "Bogus message code %d"
    } else if (err.addon_message_table && code >= err.first_addon_message &&
               code <= err.last_addon_message) {
        format = err.addon_message_table[code - err.first_addon_message];
    }
    if (!format) return "Corrupted";
    std::string text;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            text += *p;
            continue;
        }
        if (p[1] == '%') {
            text += '%';
            ++p;
            continue;
        }
        // Flags, width, precision and length, then the conversion letter.
        const char* q = p + 1;
        while (*q && std::strchr("-+ #0123456789.hlLqjzt", *q)) ++q;
        if (!*q) break;
        text += '?';
        p = q;
    }
    return text;
}

void RaiseJpegFailure(const JpegErrorManager& manager, TProgressRec& progress) {
    if (manager.errorCode == JERR_TOO_LITTLE_DATA) return;
    progress.Abort();
    throw EJpegError(JpegMessageText(manager.pub, manager.errorCode), manager.errorCode);
}

std::unique_ptr<JpegSource> MakeJpegSource(TStream& stream, TProgressRec& progress) {
    auto source = std::make_unique<JpegSource>();
    source->pub.next_input_byte = nullptr;
    source->pub.bytes_in_buffer = 0;
    source->pub.init_source = InitSource;
    source->pub.fill_input_buffer = FillInputBuffer;
    source->pub.skip_input_data = SkipInputData;
    source->pub.resync_to_restart = jpeg_resync_to_restart;
    source->pub.term_source = TermSource;
    source->stream = &stream;
    source->progress = &progress;
    source->anyData = false;
    source->fakeEoi = false;
    return source;
}

std::unique_ptr<JpegDestination> MakeJpegDestination(TStream& stream, TProgressRec& progress) {
    auto dest = std::make_unique<JpegDestination>();
    dest->pub.init_destination = InitDestination;
    dest->pub.empty_output_buffer = EmptyOutputBuffer;
    dest->pub.term_destination = TermDestination;
    dest->stream = &stream;
    dest->progress = &progress;
    return dest;
}

}  // namespace morvane::detail
