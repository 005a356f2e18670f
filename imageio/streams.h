#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvane {

// Raised when a file cannot be created: "Cannot create file "%s". %s".
class EFCreateError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// Raised when a file cannot be opened: "Cannot open file "%s". %s".
class EFOpenError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// Raised by a stream whose read or write hits a system error.
class EStreamError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A seekable byte stream. Read and Write return the byte count moved (short at the end
// of the data, never negative); positions and sizes are bytes from the start.
class TStream {
  public:
    virtual ~TStream() = default;
    virtual size_t Read(void* buffer, size_t count) = 0;
    virtual size_t Write(const void* buffer, size_t count) = 0;
    virtual int64_t Seek(int64_t position) = 0;  // absolute; returns the new position
    virtual int64_t Position() const = 0;
    virtual int64_t Size() const = 0;

    // Reads exactly `count` bytes; false (position unspecified) when the data is shorter.
    bool ReadExact(void* buffer, size_t count) { return Read(buffer, count) == count; }
    bool WriteExact(const void* buffer, size_t count) { return Write(buffer, count) == count; }
    int64_t Remaining() const { return Size() - Position(); }
};

// A file stream opened by name (UTF-8 path on Linux). Opened for reading it shares
// reads; created for writing it truncates. Read and Write raise EStreamError when the
// system reports an error (end of file is a short count, not an error).
class TWideFileStream : public TStream {
  public:
    enum class Mode { OpenRead, Create };
    // Throws EFOpenError / EFCreateError with the system's reason. A folder cannot be
    // opened for reading (EFOpenError).
    TWideFileStream(const std::filesystem::path& path, Mode mode);
    // Takes ownership of an open descriptor (closed by the destructor).
    explicit TWideFileStream(int fd);
    ~TWideFileStream() override;
    TWideFileStream(const TWideFileStream&) = delete;
    TWideFileStream& operator=(const TWideFileStream&) = delete;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t position) override;
    int64_t Position() const override;
    int64_t Size() const override;
    int Handle() const { return m_fd; }

  private:
    int m_fd = -1;
    int64_t m_position = 0;
};

// A new file that takes the place of `target` only when committed. It is created beside
// the target (same folder, so the rename is atomic) with the permissions a plain create
// would give (0666 & ~umask, or the existing target's mode). Destroyed without a
// successful Commit, it removes itself and leaves the target byte for byte as it was.
// Creation and Commit raise EFCreateError naming the target.
class ReplacingFileStream : public TStream {
  public:
    explicit ReplacingFileStream(const std::filesystem::path& target);
    ~ReplacingFileStream() override;
    ReplacingFileStream(const ReplacingFileStream&) = delete;
    ReplacingFileStream& operator=(const ReplacingFileStream&) = delete;

    size_t Read(void* buffer, size_t count) override { return m_file->Read(buffer, count); }
    size_t Write(const void* buffer, size_t count) override { return m_file->Write(buffer, count); }
    int64_t Seek(int64_t position) override { return m_file->Seek(position); }
    int64_t Position() const override { return m_file->Position(); }
    int64_t Size() const override { return m_file->Size(); }

    // Closes the new file and renames it over the target.
    void Commit();
    const std::filesystem::path& TemporaryPath() const { return m_temporary; }

  private:
    std::filesystem::path m_target;  // as named by the caller, for messages
    std::filesystem::path m_final;   // the file actually replaced (a symlink's target)
    std::filesystem::path m_temporary;
    std::unique_ptr<TWideFileStream> m_file;
    bool m_committed = false;
};

// The message forms of EFCreateError and EFOpenError: the expanded (absolute) name and
// the system's text for `error`.
EFCreateError CreateError(const std::filesystem::path& fileName, int error);
EFOpenError OpenError(const std::filesystem::path& fileName, int error);

// A growable in-memory stream, or a read-only view of caller-owned bytes.
class TMemoryStream : public TStream {
  public:
    TMemoryStream() = default;
    TMemoryStream(const void* data, size_t size);  // read-only view; data must outlive it
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t position) override;
    int64_t Position() const override { return m_position; }
    int64_t Size() const override;
    const uint8_t* Data() const;
    std::vector<uint8_t>& Bytes() { return m_bytes; }

  private:
    std::vector<uint8_t> m_bytes;
    const uint8_t* m_view = nullptr;
    size_t m_viewSize = 0;
    int64_t m_position = 0;
};

// Reads through a fixed buffer over another stream (8192 bytes for the JPEG loader).
class TBufferedReadStream : public TStream {
  public:
    // Reads start at the source's current position; destruction leaves the source at
    // the position this stream had reached, not at the end of the last buffer fill.
    TBufferedReadStream(TStream& source, size_t bufferSize = 8192);
    ~TBufferedReadStream() override;
    TBufferedReadStream(const TBufferedReadStream&) = delete;
    TBufferedReadStream& operator=(const TBufferedReadStream&) = delete;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;  // not supported: returns 0
    int64_t Seek(int64_t position) override;
    int64_t Position() const override;
    int64_t Size() const override { return m_source.Size(); }

  private:
    TStream& m_source;
    std::vector<uint8_t> m_buffer;
    int64_t m_bufferStart = 0;  // source position of m_buffer[0]
    size_t m_bufferFill = 0;
    size_t m_bufferPos = 0;
};

// The system's text for errno (strerror).
std::string SystemErrorText(int error);

}  // namespace morvane
