#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace morvane {

// The APPn (0xE0..0xEF) and COM (0xFE) markers kept from a JPEG file, in order. Each entry
// owns its payload: the bytes after the marker code and length word.
class TMarkerList {
public:
    int Count() const { return int(m_markers.size()); }
    uint8_t CodeAt(int index) const { return m_markers.at(size_t(index)).Code; }
    const uint8_t* DataAt(int index) const { return m_markers.at(size_t(index)).Data.data(); }
    int LengthAt(int index) const { return int(m_markers.at(size_t(index)).Data.size()); }
    std::span<const uint8_t> PayloadAt(int index) const { return m_markers.at(size_t(index)).Data; }
    // First index holding `code`, or -1.
    int IndexOf(uint8_t code) const;
    void Add(uint8_t code, const void* data, size_t length);
    void Replace(int index, uint8_t code, const void* data, size_t length);
    void Delete(int index);
    void Clear() { m_markers.clear(); }
    void Assign(const TMarkerList& source) { m_markers = source.m_markers; }
    // Ascending by code; ICC_PROFILE APP2 chunks by their sequence byte; then the EXIF APP1
    // markers are moved, one exchange each, to the first APP1 position.
    void Sort();

private:
    struct Marker {
        uint8_t Code = 0;
        std::vector<uint8_t> Data;
    };
    std::vector<Marker> m_markers;
};

// One IPTC IIM dataset: record number, dataset number and its data bytes.
struct TIptcInfo {
    uint8_t Record = 0;
    uint8_t DataSet = 0;
    std::vector<uint8_t> Data;
    friend bool operator==(const TIptcInfo&, const TIptcInfo&) = default;
};

// The IPTC records of a file. Changes made through Add, Delete or Clear mark the list as
// changed by a caller, which makes the JPEG save rebuild the Photoshop block; Reset (used
// by readers and ResetInfo) empties it without that mark.
class TIptcInfoList {
public:
    int Count() const { return int(m_items.size()); }
    const TIptcInfo& At(int index) const { return m_items.at(size_t(index)); }
    void Add(uint8_t record, uint8_t dataSet, std::span<const uint8_t> data);
    void Add(uint8_t record, uint8_t dataSet, const std::string& text);
    void Delete(int index);
    void Clear();
    void Reset();
    bool Modified() const { return m_modified; }
    void SetModified(bool value) { m_modified = value; }

    // IIM datasets: 0x1C, record, dataset, a big-endian 16-bit length, or from 32768
    // bytes on 0x80 0x04 and a 32-bit length, then the data.
    std::vector<uint8_t> ToIim() const;
    // Replaces the records (unmarked) with the datasets of `iim`; stops at the first byte
    // that does not start a dataset or at a length that runs past the end.
    void FromIim(std::span<const uint8_t> iim);

private:
    std::vector<TIptcInfo> m_items;
    bool m_modified = false;
};

}  // namespace morvane

namespace morvane {

// Photoshop image resource blocks as carried by APP13 ("Photoshop 3.0\0" then "8BIM"
// resources: id, padded Pascal name, 32-bit size, data padded to even length).
struct TPhotoshopResource {
    size_t Offset = 0;  // of the resource data within the payload
    size_t Size = 0;
};
// The first resource `id` of an APP13 payload, or Size 0 and Offset 0 when absent.
bool FindPhotoshopResource(std::span<const uint8_t> app13, uint16_t id, TPhotoshopResource& found);
// An APP13 payload with one IPTC resource (0x0404) holding `iim`.
std::vector<uint8_t> BuildPhotoshopIptcBlock(std::span<const uint8_t> iim);

inline constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";  // followed by a zero
inline constexpr size_t kXmpSignatureLength = sizeof(kXmpSignature);   // with the zero

// An APP1 marker holding an XMP packet (the signature, a zero, the packet).
bool IsXmpMarker(uint8_t code, std::span<const uint8_t> payload);

}  // namespace morvane
