#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "colorconv.h"
#include "imagebuffer.h"
#include "ioframe.h"
#include "jpegcodec.h"
#include "jpegglue.h"
#include "jpegmarkers.h"
#include "streams.h"

namespace morvane {

namespace {

using detail::JpegErrorManager;
using detail::JpegSource;
using detail::JpegTry;

constexpr int kSoiSearchLength = 150;
constexpr uint8_t kApp0 = 0xE0, kApp13 = 0xED;

// Start-of-image bytes FF D8 FF within the first 150 positions from the current one;
// leaves the stream at them. False (position unspecified) when absent.
bool SeekToStartOfImage(TStream& stream) {
    int64_t start = stream.Position();
    uint8_t head[kSoiSearchLength + 2];
    size_t got = stream.Read(head, sizeof(head));
    for (size_t i = 0; i + 2 < got && i < size_t(kSoiSearchLength); ++i) {
        if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) {
            stream.Seek(start + int64_t(i));
            return true;
        }
    }
    return false;
}

bool ReadByte(TStream& stream, uint8_t& value) { return stream.Read(&value, 1) == 1; }

bool ReadLength(TStream& stream, size_t& length) {
    uint8_t b[2];
    if (!stream.ReadExact(b, 2)) return false;
    length = (size_t(b[0]) << 8) | b[1];
    return length >= 2;
}

// The ICC profile carried in APP2 "ICC_PROFILE" chunks before the first frame header,
// joined in sequence order. Reads from the stream's position (the start of image).
std::vector<uint8_t> ScanIccProfile(TStream& stream) {
    std::vector<std::vector<uint8_t>> chunks;  // index = sequence number - 1
    int expected = 0, seen = 0;
    uint8_t byte = 0;
    while (ReadByte(stream, byte)) {
        if (byte != 0xFF) continue;
        uint8_t code = 0xFF;
        while (code == 0xFF) {
            if (!ReadByte(stream, code)) return {};
        }
        bool startOfFrame = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 &&
                            code != 0xCC;
        if (startOfFrame || code == 0xD9) break;
        bool skipped = code == 0xC4 || code == 0xC8 || code == 0xCC ||
                       (code >= 0xDA && code <= 0xE1) || (code >= 0xE3 && code <= 0xFE);
        if (skipped) {
            size_t length = 0;
            if (!ReadLength(stream, length)) break;
            int64_t next = stream.Position() + int64_t(length) - 2;
            if (next > stream.Size()) break;
            stream.Seek(next);
            continue;
        }
        if (code != 0xE2) continue;  // RSTn, SOI, stuffed zero: no length
        size_t length = 0;
        if (!ReadLength(stream, length)) break;
        std::vector<uint8_t> payload(length - 2);
        if (!stream.ReadExact(payload.data(), payload.size())) break;
        if (payload.size() < 14 || std::memcmp(payload.data(), "ICC_PROFILE", 12) != 0) continue;
        int sequence = payload[12], count = payload[13];
        if (expected == 0) {
            expected = count;
            chunks.resize(size_t(count));
        }
        if (sequence < 1 || sequence > expected || !chunks[size_t(sequence - 1)].empty()) continue;
        chunks[size_t(sequence - 1)].assign(payload.begin() + 14, payload.end());
        if (++seen == expected) break;
    }
    std::vector<uint8_t> profile;
    for (const auto& chunk : chunks) profile.insert(profile.end(), chunk.begin(), chunk.end());
    return profile;
}

// IPTC records of the first APP13 Photoshop block that holds them; XMP of the first APP1
// XMP packet.
void ReadMetadata(TImageParams& params) {
    const TMarkerList& markers = params.JpegMarkers;
    for (int i = 0; i < markers.Count(); ++i) {
        if (markers.CodeAt(i) != kApp13) continue;
        TPhotoshopResource iptc;
        if (FindPhotoshopResource(markers.PayloadAt(i), 0x0404, iptc)) {
            params.IptcList.FromIim(markers.PayloadAt(i).subspan(iptc.Offset, iptc.Size));
            break;
        }
    }
    for (int i = 0; i < markers.Count(); ++i) {
        auto payload = markers.PayloadAt(i);
        if (IsXmpMarker(markers.CodeAt(i), payload)) {
            params.XmpText.assign(reinterpret_cast<const char*>(payload.data()) + kXmpSignatureLength,
                                  payload.size() - kXmpSignatureLength);
            break;
        }
    }
}

// Denominator for JpegScale: 1, 2, 4, 8; 0 picks the largest reduction that still
// covers the wanted size.
int ScaleDenominator(const TImageParams& params, int fileWidth, int fileHeight) {
    switch (params.JpegScale) {
        case 2: return 2;
        case 3: return 4;
        case 4: return 8;
        case 0:
            if (params.Width > 0 && params.Height > 0) {
                for (int d : {8, 4, 2}) {
                    if (fileWidth / d >= params.Width && fileHeight / d >= params.Height) return d;
                }
            }
            return 1;
        default: return 1;
    }
}

class JpegReader {
public:
    JpegReader(TStream& stream, TStream* tables, TImageBuffer& bitmap, bool native, int maxRows,
               bool invertCmyk, bool rawYCbCr, bool paramsOnly, TProgressRec& progress,
               TImageParams& params)
        : m_stream(stream), m_tables(tables), m_bitmap(bitmap), m_native(native),
          m_maxRows(maxRows), m_invertCmyk(invertCmyk), m_rawYCbCr(rawYCbCr),
          m_paramsOnly(paramsOnly), m_progress(progress), m_params(params) {
        std::memset(&m_cinfo, 0, sizeof(m_cinfo));
    }
    ~JpegReader() {
        if (m_created) jpeg_destroy_decompress(&m_cinfo);
    }
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;

    // Steps 4 to 10: header, parameters, rows. Throws EJpegError on library errors.
    void Decode();
    // Steps 11 and 12, also after a failure.
    void Finish();
    int Rows() const { return m_rows; }

private:
    template <typename Call>
    void Library(Call call) {
        if (!JpegTry(m_err, call)) detail::RaiseJpegFailure(m_err, m_progress);
    }
    void DecodeRows();
    void RecordMarkers();

    TStream& m_stream;
    TStream* m_tables;
    TImageBuffer& m_bitmap;
    bool m_native;
    int m_maxRows;
    bool m_invertCmyk, m_rawYCbCr, m_paramsOnly;
    TProgressRec& m_progress;
    TImageParams& m_params;

    JpegErrorManager m_err;
    jpeg_decompress_struct m_cinfo;
    bool m_created = false;
    bool m_headerRead = false;
    bool m_started = false;
    bool m_decodeRows = true;
    std::unique_ptr<JpegSource> m_source, m_tablesSource;
    int m_rows = 0;
};

void JpegReader::Decode() {
    m_cinfo.err = detail::InitJpegErrors(m_err);
    j_decompress_ptr cinfo = &m_cinfo;
    Library([cinfo] { jpeg_create_decompress(cinfo); });
    m_created = true;

    if (m_tables && m_tables != &m_stream) {
        // An abbreviated datastream: the tables come first, from their own stream.
        m_tablesSource = detail::MakeJpegSource(*m_tables, m_progress);
        cinfo->src = &m_tablesSource->pub;
        Library([cinfo] { jpeg_read_header(cinfo, FALSE); });
    }
    m_source = detail::MakeJpegSource(m_stream, m_progress);
    cinfo->src = &m_source->pub;
    Library([cinfo] {
        jpeg_save_markers(cinfo, JPEG_COM, 0xFFFF);
        for (int i = 0; i < 16; ++i) jpeg_save_markers(cinfo, JPEG_APP0 + i, 0xFFFF);
    });
    Library([cinfo] { jpeg_read_header(cinfo, TRUE); });
    m_headerRead = true;

    m_params.BitsPerSample = 8;
    bool cmykOut = false, greyOut = false;
    switch (cinfo->jpeg_color_space) {
        case JCS_GRAYSCALE:
            m_params.JpegColorSpace = 1;
            m_params.SamplesPerPixel = 1;
            // Without the native format the library expands grey to B, G, R itself.
            cinfo->out_color_space = m_native ? JCS_GRAYSCALE : JCS_EXT_BGR;
            greyOut = m_native;
            break;
        case JCS_RGB:
            // The library reorders R, G, B into the buffer's B, G, R.
            m_params.JpegColorSpace = 0;
            m_params.SamplesPerPixel = 3;
            cinfo->out_color_space = JCS_EXT_BGR;
            break;
        case JCS_YCbCr:
            m_params.JpegColorSpace = 2;
            m_params.SamplesPerPixel = 3;
            cinfo->out_color_space = m_rawYCbCr ? JCS_YCbCr : JCS_EXT_BGR;
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            m_params.JpegColorSpace = cinfo->jpeg_color_space == JCS_CMYK ? 3 : 4;
            m_params.SamplesPerPixel = 4;
            cinfo->out_color_space = JCS_CMYK;
            cmykOut = true;
            break;
        default:
            m_decodeRows = false;
            break;
    }
    cinfo->dct_method = J_DCT_METHOD(m_params.JpegDctMethod);

    if (cinfo->density_unit == 2) {
        m_params.SetDpiX(int32_t(std::nearbyint(cinfo->X_density * 2.54)));
        m_params.SetDpiY(int32_t(std::nearbyint(cinfo->Y_density * 2.54)));
    } else {
        m_params.SetDpiX(cinfo->X_density);
        m_params.SetDpiY(cinfo->Y_density);
    }
    m_params.ColorMap.clear();
    m_params.ColorMapCount = 0;
    m_params.JpegProgressive = cinfo->progressive_mode != 0;
    m_params.OriginalWidth = int32_t(cinfo->image_width);
    m_params.OriginalHeight = int32_t(cinfo->image_height);

    int denominator = ScaleDenominator(m_params, int(cinfo->image_width), int(cinfo->image_height));
    cinfo->scale_num = 1;
    cinfo->scale_denom = unsigned(denominator);
    m_params.JpegScaleUsed = denominator;

    if (m_paramsOnly) {
        m_params.Width = int32_t(cinfo->image_width);
        m_params.Height = int32_t(cinfo->image_height);
        return;
    }

    Library([cinfo] { jpeg_start_decompress(cinfo); });
    m_started = true;
    m_params.Width = int32_t(cinfo->output_width);
    m_params.Height = int32_t(cinfo->output_height);
    TPixelFormatKind format = pf24RGB;
    if (m_native && greyOut) format = pf8g;
    if (m_native && cmykOut) format = pfCMYK;
    if (!m_bitmap.Allocate(m_params.Width, m_params.Height, format)) {
        m_progress.Abort();
        return;
    }
    if (!m_decodeRows) {
        // An unsupported colour space: no rows, but no undefined pixels either.
        for (int y = 0; y < m_bitmap.Height(); ++y) std::memset(m_bitmap.RowPointer(y), 0, size_t(m_bitmap.RowLen()));
        return;
    }
    DecodeRows();
}

void JpegReader::DecodeRows() {
    j_decompress_ptr cinfo = &m_cinfo;
    const int height = m_bitmap.Height(), width = m_bitmap.Width();
    const int wanted = m_maxRows < 0 ? height : std::min(m_maxRows, height);
    const bool convertCmyk = cinfo->out_color_space == JCS_CMYK && m_bitmap.PixelFormat() != pfCMYK;
    std::vector<uint8_t> scratch(convertCmyk ? size_t(width) * 4 : 0);
    m_progress.Start(height);
    while (m_rows < wanted) {
        uint8_t* target = m_bitmap.RowPointer(m_rows);
        JSAMPROW row = convertCmyk ? scratch.data() : target;
        JDIMENSION got = 0;
        Library([cinfo, &row, &got] { got = jpeg_read_scanlines(cinfo, &row, 1); });
        if (got != 1) break;
        if (convertCmyk) {
            const uint8_t* s = scratch.data();
            for (int x = 0; x < width; ++x, s += 4) {
                TBGRTriple c = m_invertCmyk ? CMYKToRGB(uint8_t(~s[0]), uint8_t(~s[1]), uint8_t(~s[2]), uint8_t(~s[3]))
                                            : CMYKToRGB(s[0], s[1], s[2], s[3]);
                std::memcpy(target + size_t(x) * 3, &c, 3);
            }
        }
        ++m_rows;
        m_progress.Step();
        if (m_progress.IsAborting()) return;
    }
    if (m_rows < wanted) m_progress.Abort();
}

void JpegReader::RecordMarkers() {
    m_params.JpegMarkers.Clear();
    bool firstApp0 = true;
    for (jpeg_saved_marker_ptr m = m_cinfo.marker_list; m; m = m->next) {
        if (m->marker == kApp0 && firstApp0) {
            firstApp0 = false;  // the JFIF header: the writer makes its own
            continue;
        }
        m_params.JpegMarkers.Add(uint8_t(m->marker), m->data, m->data_length);
    }
}

void JpegReader::Finish() {
    // Data that ended before the library met its end-of-image is a truncated file.
    if (m_source && m_source->fakeEoi && !m_paramsOnly) m_progress.Abort();
    if (m_created) {
        RecordMarkers();
        if (m_started && !m_progress.IsAborting()) {
            j_decompress_ptr cinfo = &m_cinfo;
            JpegTry(m_err, [cinfo] { jpeg_finish_decompress(cinfo); });  // errors ignored
        }
        jpeg_destroy_decompress(&m_cinfo);
        m_created = false;
    }
    if (m_err.warningCount > 0) {
        m_params.JpegWarningCount = m_err.warningCount;
        m_params.JpegWarningCode = m_err.lastWarningCode;
    }
}

}  // namespace

int ReadJpegStream(TStream& stream, TStream* tablesStream, TImageBuffer& bitmap, bool native,
                   int maxRows, bool readIccProfile, bool applyIcc, bool invertCmyk,
                   bool readMetadata, bool rawYCbCr, bool paramsOnly, TProgressRec& progress,
                   TImageParams& params) {
    // The profile is kept and written back, never applied: the colour-management switch
    // for JPEG is off in this program.
    (void)applyIcc;
    params.JpegWarningCount = 0;
    params.JpegWarningCode = 0;
    try {
        if (!SeekToStartOfImage(stream)) {
            progress.Abort();
            return 0;
        }
        if (readIccProfile) {
            int64_t soi = stream.Position();
            params.IccProfile = ScanIccProfile(stream);
            stream.Seek(soi);
        }
    } catch (const std::exception&) {
        progress.Abort();
        return 0;
    }
    JpegReader reader(stream, tablesStream, bitmap, native, maxRows, invertCmyk, rawYCbCr,
                      paramsOnly, progress, params);
    try {
        reader.Decode();
    } catch (const std::exception&) {
        progress.Abort();  // EJpegError has set it already; a stream or memory error has not
    }
    reader.Finish();
    if (readMetadata) ReadMetadata(params);
    return reader.Rows();
}

}  // namespace morvane
