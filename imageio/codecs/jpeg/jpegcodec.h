#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace morvane {

class TStream;
class TImageBuffer;
class TImageParams;
struct TProgressRec;
struct TReadContext;
struct TWriteContext;

// A fatal error of the JPEG library, carrying the library's message text with each
// format placeholder shown as "?" ("Bogus message code ?"), or "Corrupted" for a code
// the library has no text for.
class EJpegError : public std::runtime_error {
public:
    EJpegError(const std::string& message, int code) : std::runtime_error(message), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

// Decodes the JPEG image at the stream's position (its start-of-image must lie within 150
// bytes) into `bitmap` and fills the JPEG and general fields of `params`. `tablesStream`
// (may be nullptr) is a tables-only datastream read first, as TIFF stores it. `maxRows`
// -1 decodes every row. Never throws: corrupt, truncated or unsupported data sets
// Aborting in `progress`; the rows decoded so far stay in the buffer. Returns the rows
// decoded.
int ReadJpegStream(TStream& stream, TStream* tablesStream, TImageBuffer& bitmap, bool native,
                   int maxRows, bool readIccProfile, bool applyIcc, bool invertCmyk,
                   bool readMetadata, bool rawYCbCr, bool paramsOnly, TProgressRec& progress,
                   TImageParams& params);

// Encodes `bitmap` (any format; other formats than pf24RGB cross as a pf24RGB working
// copy, row by row; the buffer itself is not changed) with the
// options and markers of `params`. A zero size or a short write sets Aborting; a fatal
// library error sets Aborting and throws EJpegError.
void WriteJpegStream(TStream& stream, TImageBuffer& bitmap, TImageParams& params,
                     TProgressRec& progress);

// What a save does to the markers before the writer: the Photoshop resolution resource,
// the IPTC block when the list was changed, and the XMP block.
void PrepareJpegMarkers(TImageParams& params);

// The registry's entries: the load and save of the I/O frame (type code 3). The save's
// preparation refreshes the markers; the pixels need none, the writer takes any format.
void ReadJpegCodec(TReadContext& context);
void WriteJpegCodec(TWriteContext& context);
void PrepareJpegSave(TImageBuffer& bitmap, TImageParams& params);

}  // namespace morvane
