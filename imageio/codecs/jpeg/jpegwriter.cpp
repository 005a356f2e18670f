#include <cstring>
#include <memory>
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
using detail::JpegTry;

constexpr uint8_t kApp1 = 0xE1, kApp13 = 0xED, kApp14 = 0xEE;
constexpr int kDefaultDpi = 300;

class JpegWriter {
public:
    JpegWriter(TStream& stream, const TImageBuffer& bitmap, TImageParams& params,
               TProgressRec& progress)
        : m_stream(stream), m_bitmap(bitmap), m_params(params), m_progress(progress) {
        std::memset(&m_cinfo, 0, sizeof(m_cinfo));
    }
    ~JpegWriter() {
        if (m_created) jpeg_destroy_compress(&m_cinfo);
    }
    JpegWriter(const JpegWriter&) = delete;
    JpegWriter& operator=(const JpegWriter&) = delete;

    void Write();

private:
    template <typename Call>
    void Library(Call call) {
        if (!JpegTry(m_err, call)) detail::RaiseJpegFailure(m_err, m_progress);
    }
    void SetParameters();
    void WriteMarkers();
    void WriteRows();

    TStream& m_stream;
    const TImageBuffer& m_bitmap;
    TImageParams& m_params;
    TProgressRec& m_progress;
    JpegErrorManager m_err;
    jpeg_compress_struct m_cinfo;
    std::unique_ptr<detail::JpegDestination> m_dest;
    bool m_created = false;
    bool m_cmykInput = false;
};

void JpegWriter::Write() {
    m_cinfo.err = detail::InitJpegErrors(m_err);
    j_compress_ptr cinfo = &m_cinfo;
    Library([cinfo] { jpeg_create_compress(cinfo); });
    m_created = true;
    m_dest = detail::MakeJpegDestination(m_stream, m_progress);
    cinfo->dest = &m_dest->pub;
    SetParameters();
    Library([cinfo] { jpeg_start_compress(cinfo, TRUE); });
    WriteMarkers();
    WriteRows();
    if (!m_progress.IsAborting()) Library([cinfo] { jpeg_finish_compress(cinfo); });
}

void JpegWriter::SetParameters() {
    j_compress_ptr cinfo = &m_cinfo;
    const uint8_t colorSpace = m_params.JpegColorSpace;
    cinfo->image_width = JDIMENSION(m_bitmap.Width());
    cinfo->image_height = JDIMENSION(m_bitmap.Height());
    m_cmykInput = colorSpace == 3 || colorSpace == 4;
    // Buffer rows are B, G, R: the library takes them as they are.
    cinfo->input_components = m_cmykInput ? 4 : 3;
    cinfo->in_color_space = m_cmykInput ? JCS_CMYK : JCS_EXT_BGR;
    Library([cinfo] { jpeg_set_defaults(cinfo); });

    static constexpr J_COLOR_SPACE kSpaces[] = {JCS_RGB, JCS_GRAYSCALE, JCS_YCbCr, JCS_CMYK,
                                                JCS_YCCK};
    if (colorSpace < std::size(kSpaces)) {
        J_COLOR_SPACE space = kSpaces[colorSpace];
        Library([cinfo, space] { jpeg_set_colorspace(cinfo, space); });
    }
    cinfo->density_unit = 1;
    cinfo->X_density = UINT16(m_params.DpiX ? m_params.DpiX : kDefaultDpi);
    cinfo->Y_density = UINT16(m_params.DpiY ? m_params.DpiY : kDefaultDpi);
    cinfo->dct_method = J_DCT_METHOD(m_params.JpegDctMethod);
    cinfo->optimize_coding = m_params.JpegOptimalHuffman ? TRUE : FALSE;
    cinfo->smoothing_factor = m_params.JpegSmoothing;
    int quality = m_params.JpegQuality;
    Library([cinfo, quality] { jpeg_set_quality(cinfo, quality, TRUE); });

    if (cinfo->jpeg_color_space == JCS_YCbCr) {
        // Luminance sampling 2x1, 2x2 or 1x1; chrominance always 1x1.
        static constexpr int kSampling[3][2] = {{2, 1}, {2, 2}, {1, 1}};
        if (m_params.JpegChromaSubsampling < 3) {
            cinfo->comp_info[0].h_samp_factor = kSampling[m_params.JpegChromaSubsampling][0];
            cinfo->comp_info[0].v_samp_factor = kSampling[m_params.JpegChromaSubsampling][1];
        }
        for (int c = 1; c < 3; ++c) {
            cinfo->comp_info[c].h_samp_factor = 1;
            cinfo->comp_info[c].v_samp_factor = 1;
        }
    }
    if (colorSpace == 3) cinfo->write_JFIF_header = TRUE;  // both JFIF and Adobe headers
    if (m_params.JpegProgressive) Library([cinfo] { jpeg_simple_progression(cinfo); });
}

void JpegWriter::WriteMarkers() {
    TMarkerList& markers = m_params.JpegMarkers;
    markers.Sort();
    j_compress_ptr cinfo = &m_cinfo;
    for (int i = 0; i < markers.Count(); ++i) {
        int code = markers.CodeAt(i);
        if (code == kApp14) continue;  // the library writes its own Adobe marker
        const JOCTET* data = markers.DataAt(i);
        unsigned length = unsigned(markers.LengthAt(i));
        Library([cinfo, code, data, length] { jpeg_write_marker(cinfo, code, data, length); });
    }
}

void JpegWriter::WriteRows() {
    j_compress_ptr cinfo = &m_cinfo;
    const int width = m_bitmap.Width(), height = m_bitmap.Height();
    // A buffer in another format crosses as a pf24RGB working copy, one row at a time.
    const bool convert = m_bitmap.PixelFormat() != pf24RGB;
    std::vector<uint8_t> bgr(convert ? size_t(width) * 3 : 0);
    std::vector<uint8_t> cmyk(m_cmykInput ? size_t(width) * 4 : 0);
    m_progress.Start(height);
    for (int y = 0; y < height; ++y) {
        // The library never writes through the row pointers it is given.
        const uint8_t* source = m_bitmap.RowPointer(y);
        if (convert) {
            for (int x = 0; x < width; ++x) {
                TBGRTriple c = m_bitmap.PixelAsRGB(x, y);
                std::memcpy(&bgr[size_t(x) * 3], &c, 3);
            }
            source = bgr.data();
        }
        if (m_cmykInput) {
            const uint8_t* s = source;
            for (int x = 0; x < width; ++x, s += 3) {
                TCMYKBytes c = RGBToCMYK(s[2], s[1], s[0]);
                std::memcpy(&cmyk[size_t(x) * 4], &c, 4);
            }
            source = cmyk.data();
        }
        JSAMPROW row = const_cast<uint8_t*>(source);
        Library([cinfo, &row] { jpeg_write_scanlines(cinfo, &row, 1); });
        m_progress.Step();
        if (m_progress.IsAborting()) return;
    }
}

}  // namespace

void WriteJpegStream(TStream& stream, TImageBuffer& bitmap, TImageParams& params,
                     TProgressRec& progress) {
    if (bitmap.IsEmpty() || bitmap.Width() == 0 || bitmap.Height() == 0) {
        progress.Abort();
        return;
    }
    JpegWriter writer(stream, bitmap, params, progress);
    writer.Write();
}

void PrepareJpegMarkers(TImageParams& params) {
    TMarkerList& markers = params.JpegMarkers;

    // Photoshop resolution resource (0x03ED): 16.16 fixed resolutions in dots per inch.
    int app13 = markers.IndexOf(kApp13);
    if (app13 >= 0) {
        TPhotoshopResource res;
        if (FindPhotoshopResource(markers.PayloadAt(app13), 0x03ED, res) && res.Size >= 16) {
            std::vector<uint8_t> data(markers.PayloadAt(app13).begin(), markers.PayloadAt(app13).end());
            auto put32 = [&](size_t at, uint32_t v) {
                for (int i = 0; i < 4; ++i) data[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
            };
            auto put16 = [&](size_t at, uint16_t v) {
                data[at] = uint8_t(v >> 8);
                data[at + 1] = uint8_t(v);
            };
            size_t p = res.Offset;
            put32(p, uint32_t(params.DpiX) << 16);
            put16(p + 4, 1);  // horizontal unit: pixels per inch
            put16(p + 6, 1);  // width unit: inches
            put32(p + 8, uint32_t(params.DpiY) << 16);
            put16(p + 12, 1);
            put16(p + 14, 1);
            markers.Replace(app13, kApp13, data.data(), data.size());
        }
    }

    // IPTC: rebuilt when a caller changed the list, or when there is nothing to keep.
    const TIptcInfoList& iptc = params.IptcList;
    if (iptc.Modified() || (iptc.Count() > 0 && markers.Count() == 0)) {
        app13 = markers.IndexOf(kApp13);
        if (iptc.Count() == 0) {
            if (app13 >= 0) markers.Delete(app13);
        } else {
            std::vector<uint8_t> block = BuildPhotoshopIptcBlock(iptc.ToIim());
            if (app13 >= 0) {
                markers.Replace(app13, kApp13, block.data(), block.size());
            } else {
                markers.Add(kApp13, block.data(), block.size());
            }
        }
    }

    // XMP: the packet of XmpText replaces the file's.
    if (!params.XmpText.empty()) {
        for (int i = 0; i < markers.Count(); ++i) {
            if (IsXmpMarker(markers.CodeAt(i), markers.PayloadAt(i))) {
                markers.Delete(i);
                break;
            }
        }
        std::vector<uint8_t> block(kXmpSignature, kXmpSignature + kXmpSignatureLength);
        block.insert(block.end(), params.XmpText.begin(), params.XmpText.end());
        markers.Add(kApp1, block.data(), block.size());
    }
}

void ReadJpegCodec(TReadContext& context) {
    ReadJpegStream(context.Stream, nullptr, context.Bitmap, context.Params.IsNativePixelFormat,
                   -1, true, true, false, true, false, context.ParamsOnly, context.Progress,
                   context.Params);
}

void PrepareJpegSave(TImageBuffer&, TImageParams& params) { PrepareJpegMarkers(params); }

void WriteJpegCodec(TWriteContext& context) {
    WriteJpegStream(context.Stream, context.Bitmap, context.Params, context.Progress);
}

}  // namespace morvane
