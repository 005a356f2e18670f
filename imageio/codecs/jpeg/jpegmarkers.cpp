#include "jpegmarkers.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace morvane {

namespace {

constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;

bool StartsWith(std::span<const uint8_t> data, const char* prefix, size_t length) {
    return data.size() >= length && std::memcmp(data.data(), prefix, length) == 0;
}

bool IsIccChunk(uint8_t code, std::span<const uint8_t> data) {
    // "ICC_PROFILE\0", sequence byte, count byte, then the chunk.
    return code == kApp2 && data.size() > 13 && StartsWith(data, "ICC_PROFILE", 12);
}

bool IsExif(uint8_t code, std::span<const uint8_t> data) {
    return code == kApp1 && StartsWith(data, "Exif", 5);
}

std::vector<uint8_t> CopyBytes(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    return length ? std::vector<uint8_t>(p, p + length) : std::vector<uint8_t>{};
}

}  // namespace

int TMarkerList::IndexOf(uint8_t code) const {
    for (size_t i = 0; i < m_markers.size(); ++i) {
        if (m_markers[i].Code == code) return int(i);
    }
    return -1;
}

void TMarkerList::Add(uint8_t code, const void* data, size_t length) {
    m_markers.push_back({code, CopyBytes(data, length)});
}

void TMarkerList::Replace(int index, uint8_t code, const void* data, size_t length) {
    Marker& m = m_markers.at(size_t(index));
    m.Code = code;
    m.Data = CopyBytes(data, length);
}

void TMarkerList::Delete(int index) {
    if (index < 0 || index >= Count()) throw std::out_of_range("TMarkerList::Delete");
    m_markers.erase(m_markers.begin() + index);
}

void TMarkerList::Sort() {
    auto key = [](const Marker& m) {
        int sequence = IsIccChunk(m.Code, m.Data) ? m.Data[12] : 0;
        return std::pair<int, int>(m.Code, sequence);
    };
    std::stable_sort(m_markers.begin(), m_markers.end(),
                     [&](const Marker& a, const Marker& b) { return key(a) < key(b); });
    int firstApp1 = IndexOf(kApp1);
    if (firstApp1 < 0) return;
    for (size_t i = size_t(firstApp1) + 1; i < m_markers.size(); ++i) {
        if (IsExif(m_markers[i].Code, m_markers[i].Data)) {
            std::swap(m_markers[i], m_markers[size_t(firstApp1)]);
        }
    }
}

void TIptcInfoList::Add(uint8_t record, uint8_t dataSet, std::span<const uint8_t> data) {
    m_items.push_back({record, dataSet, std::vector<uint8_t>(data.begin(), data.end())});
    m_modified = true;
}

void TIptcInfoList::Add(uint8_t record, uint8_t dataSet, const std::string& text) {
    Add(record, dataSet,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void TIptcInfoList::Delete(int index) {
    if (index < 0 || index >= Count()) throw std::out_of_range("TIptcInfoList::Delete");
    m_items.erase(m_items.begin() + index);
    m_modified = true;
}

void TIptcInfoList::Clear() {
    m_items.clear();
    m_modified = true;
}

void TIptcInfoList::Reset() {
    m_items.clear();
    m_modified = false;
}

std::vector<uint8_t> TIptcInfoList::ToIim() const {
    std::vector<uint8_t> out;
    for (const TIptcInfo& item : m_items) {
        size_t n = item.Data.size();
        out.insert(out.end(), {0x1C, item.Record, item.DataSet});
        if (n < 32768) {
            out.insert(out.end(), {uint8_t(n >> 8), uint8_t(n)});
        } else {
            // Extended dataset: the high bit flags it, the rest gives 4 length bytes.
            out.insert(out.end(), {0x80, 0x04, uint8_t(n >> 24), uint8_t(n >> 16),
                                   uint8_t(n >> 8), uint8_t(n)});
        }
        out.insert(out.end(), item.Data.begin(), item.Data.end());
    }
    return out;
}

void TIptcInfoList::FromIim(std::span<const uint8_t> iim) {
    Reset();
    size_t pos = 0;
    while (pos + 5 <= iim.size() && iim[pos] == 0x1C) {
        uint8_t record = iim[pos + 1], dataSet = iim[pos + 2];
        size_t length = (size_t(iim[pos + 3]) << 8) | iim[pos + 4];
        pos += 5;
        if (length & 0x8000) {
            size_t count = length & 0x7FFF;
            if (count == 0 || count > 4 || pos + count > iim.size()) break;
            length = 0;
            for (size_t i = 0; i < count; ++i) length = (length << 8) | iim[pos + i];
            pos += count;
        }
        if (length > iim.size() - pos) break;
        m_items.push_back(
            {record, dataSet, std::vector<uint8_t>(iim.begin() + long(pos), iim.begin() + long(pos + length))});
        pos += length;
    }
}

}  // namespace morvane

namespace morvane {

namespace {
constexpr char kPhotoshopSignature[] = "Photoshop 3.0";  // with its zero: 14 bytes
uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
}  // namespace

bool FindPhotoshopResource(std::span<const uint8_t> app13, uint16_t id, TPhotoshopResource& found) {
    found = {};
    const size_t sigLength = sizeof(kPhotoshopSignature);
    if (app13.size() < sigLength || std::memcmp(app13.data(), kPhotoshopSignature, sigLength) != 0)
        return false;
    size_t pos = sigLength;
    while (pos + 4 + 2 + 1 <= app13.size() && std::memcmp(&app13[pos], "8BIM", 4) == 0) {
        uint16_t resId = uint16_t((app13[pos + 4] << 8) | app13[pos + 5]);
        pos += 6;
        size_t nameLength = app13[pos];
        size_t namePadded = (nameLength + 2) & ~size_t(1);  // length byte + name, even
        if (namePadded > app13.size() - pos) return false;
        pos += namePadded;
        if (app13.size() - pos < 4) return false;
        size_t size = Be32(&app13[pos]);
        pos += 4;
        if (size > app13.size() - pos) return false;
        if (resId == id) {
            found = {pos, size};
            return true;
        }
        pos += size + (size & 1);
    }
    return false;
}

bool IsXmpMarker(uint8_t code, std::span<const uint8_t> payload) {
    return code == kApp1 && StartsWith(payload, kXmpSignature, kXmpSignatureLength);
}

std::vector<uint8_t> BuildPhotoshopIptcBlock(std::span<const uint8_t> iim) {
    std::vector<uint8_t> out(kPhotoshopSignature, kPhotoshopSignature + sizeof(kPhotoshopSignature));
    size_t n = iim.size();
    out.insert(out.end(), {'8', 'B', 'I', 'M', 0x04, 0x04, 0x00, 0x00,  // id 0x0404, empty name
                           uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    out.insert(out.end(), iim.begin(), iim.end());
    if (n & 1) out.push_back(0);
    return out;
}

}  // namespace morvane
