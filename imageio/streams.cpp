#include "streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace morvane {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer);
// these two overloads accept either.
[[maybe_unused]] const char* PickErrorText(const char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* PickErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

std::string ExpandedName(const std::filesystem::path& fileName) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(fileName, ec);
    if (ec)
        full = fileName;
    return full.lexically_normal().string();
}

std::string FileMessage(const char* verb, const std::filesystem::path& fileName, int error) {
    return std::string("Cannot ") + verb + " file \"" + ExpandedName(fileName) + "\". " +
           SystemErrorText(error);
}

}  // namespace

std::string SystemErrorText(int error) {
    char buffer[256] = {};
    return PickErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

EFCreateError CreateError(const std::filesystem::path& fileName, int error) {
    return EFCreateError(FileMessage("create", fileName, error));
}

EFOpenError OpenError(const std::filesystem::path& fileName, int error) {
    return EFOpenError(FileMessage("open", fileName, error));
}

// --- TWideFileStream ---

TWideFileStream::TWideFileStream(const std::filesystem::path& path, Mode mode) {
    if (mode == Mode::OpenRead) {
        do {
            m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0)
            throw OpenError(path, errno);
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
            ::close(m_fd);
            m_fd = -1;
            throw OpenError(path, error);
        }
    } else {
        do {
            m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0)
            throw CreateError(path, errno);
    }
}

TWideFileStream::TWideFileStream(int fd) : m_fd(fd) {}

TWideFileStream::~TWideFileStream() {
    if (m_fd >= 0)
        ::close(m_fd);
}

size_t TWideFileStream::Read(void* buffer, size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(m_fd, out + done, count - done, m_position);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EStreamError("Stream read error. " + SystemErrorText(errno));
        }
        if (n == 0)
            break;
        done += size_t(n);
        m_position += n;
    }
    return done;
}

size_t TWideFileStream::Write(const void* buffer, size_t count) {
    const auto* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::pwrite(m_fd, in + done, count - done, m_position);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EStreamError("Stream write error. " + SystemErrorText(errno));
        }
        done += size_t(n);
        m_position += n;
    }
    return done;
}

int64_t TWideFileStream::Seek(int64_t position) {
    m_position = std::max<int64_t>(position, 0);
    return m_position;
}

int64_t TWideFileStream::Position() const {
    return m_position;
}

int64_t TWideFileStream::Size() const {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return 0;
    return int64_t(st.st_size);
}

// --- ReplacingFileStream ---

namespace {

// A name no other writer uses: hidden, beside the target, unique per process and call.
std::filesystem::path TemporaryNameBeside(const std::filesystem::path& target, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    auto ticks = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%05x%04x%03x", unsigned(::getpid()) & 0xFFFFF,
                  (counter.fetch_add(1) + ticks) & 0xFFFF, attempt & 0xFFF);
    // Shortened so that a target name near the file system's limit (255 bytes) still
    // leaves room for the dot and the suffix.
    std::string name = target.filename().string().substr(0, 200);
    return target.parent_path() / ("." + name + suffix);
}

}  // namespace

ReplacingFileStream::ReplacingFileStream(const std::filesystem::path& target)
    : m_target(target), m_final(target) {
    std::error_code ec;
    // Writing through a symbolic link replaces the file it points at, as a plain
    // truncating create would.
    if (std::filesystem::is_symlink(target, ec)) {
        std::filesystem::path resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec)
            m_final = resolved;
    }
    if (m_final.filename().empty())
        throw CreateError(target, EISDIR);

    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        m_temporary = TemporaryNameBeside(m_final, attempt);
        // O_EXCL: never reuse somebody else's file. The kernel applies the umask to 0666.
        fd = ::open(m_temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST && errno != EINTR)
            throw CreateError(target, errno);
    }
    if (fd < 0)
        throw CreateError(target, EEXIST);

    // A replaced file keeps its permission bits, as it would when truncated in place.
    struct stat st {};
    if (::stat(m_final.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::close(fd);
            ::unlink(m_temporary.c_str());
            throw CreateError(target, EISDIR);
        }
        if (S_ISREG(st.st_mode))
            (void)::fchmod(fd, st.st_mode & 07777);
    }
    m_file = std::make_unique<TWideFileStream>(fd);
}

ReplacingFileStream::~ReplacingFileStream() {
    if (m_committed)
        return;
    m_file.reset();
    ::unlink(m_temporary.c_str());
}

void ReplacingFileStream::Commit() {
    if (m_committed)
        return;
    // close() is where some file systems report a deferred write error.
    int fd = m_file->Handle();
    int closeResult = ::close(fd);
    int closeError = errno;
    m_file = std::make_unique<TWideFileStream>(-1);
    if (closeResult != 0 && closeError != EINTR)
        throw CreateError(m_target, closeError);
    if (::rename(m_temporary.c_str(), m_final.c_str()) != 0)
        throw CreateError(m_target, errno);
    m_committed = true;
}

// --- TMemoryStream ---

TMemoryStream::TMemoryStream(const void* data, size_t size)
    : m_view(static_cast<const uint8_t*>(data)), m_viewSize(size) {}

size_t TMemoryStream::Read(void* buffer, size_t count) {
    int64_t size = Size();
    if (m_position >= size || count == 0)
        return 0;
    size_t n = size_t(std::min<int64_t>(int64_t(count), size - m_position));
    std::memcpy(buffer, Data() + m_position, n);
    m_position += int64_t(n);
    return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
    if (m_view || count == 0)
        return 0;
    size_t end = size_t(m_position) + count;
    if (end > m_bytes.size())
        m_bytes.resize(end);  // a gap after a seek past the end is zeros
    std::memcpy(m_bytes.data() + m_position, buffer, count);
    m_position = int64_t(end);
    return count;
}

int64_t TMemoryStream::Seek(int64_t position) {
    m_position = std::max<int64_t>(position, 0);
    return m_position;
}

int64_t TMemoryStream::Size() const {
    return m_view ? int64_t(m_viewSize) : int64_t(m_bytes.size());
}

const uint8_t* TMemoryStream::Data() const {
    return m_view ? m_view : m_bytes.data();
}

// --- TBufferedReadStream ---

TBufferedReadStream::TBufferedReadStream(TStream& source, size_t bufferSize)
    : m_source(source),
      m_buffer(std::max<size_t>(bufferSize, 1)),
      m_bufferStart(source.Position()) {}

TBufferedReadStream::~TBufferedReadStream() {
    m_source.Seek(Position());
}

size_t TBufferedReadStream::Read(void* buffer, size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (m_bufferPos == m_bufferFill) {
            m_bufferStart += int64_t(m_bufferFill);
            m_bufferPos = m_bufferFill = 0;
            // A large request goes straight to the source instead of through the buffer.
            if (count - done >= m_buffer.size()) {
                m_source.Seek(m_bufferStart);
                size_t n = m_source.Read(out + done, count - done);
                m_bufferStart += int64_t(n);
                return done + n;
            }
            m_source.Seek(m_bufferStart);
            m_bufferFill = m_source.Read(m_buffer.data(), m_buffer.size());
            if (m_bufferFill == 0)
                break;
        }
        size_t n = std::min(count - done, m_bufferFill - m_bufferPos);
        std::memcpy(out + done, m_buffer.data() + m_bufferPos, n);
        m_bufferPos += n;
        done += n;
    }
    return done;
}

size_t TBufferedReadStream::Write(const void*, size_t) {
    return 0;
}

int64_t TBufferedReadStream::Seek(int64_t position) {
    position = std::max<int64_t>(position, 0);
    if (position >= m_bufferStart && position <= m_bufferStart + int64_t(m_bufferFill)) {
        m_bufferPos = size_t(position - m_bufferStart);
    } else {
        m_bufferStart = position;
        m_bufferPos = m_bufferFill = 0;
    }
    return position;
}

int64_t TBufferedReadStream::Position() const {
    return m_bufferStart + int64_t(m_bufferPos);
}

}  // namespace morvane
