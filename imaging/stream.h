#pragma once
// Byte streams read and written by every codec: an abstract Stream, a file stream, a memory
// stream and an atomic file writer (a temporary file that replaces the target on Commit).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumaprep {

// A file that cannot be opened for reading: "Cannot open file "<path>". <reason>".
class EFOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be created or written: "Cannot create file "<path>". <reason>".
class EFCreateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Positions and sizes are bytes from the start of the stream. Read returns fewer bytes than
// asked at the end of the data (0 past the end), Write fewer than given when the medium is
// full. Seek to a negative position goes to 0; seeking past the end is allowed (a following
// Read returns 0; a Write on a memory stream fills the gap with zeros).
class Stream {
 public:
  virtual ~Stream() = default;
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual void Seek(int64_t position) = 0;
  virtual int64_t Position() const = 0;
  virtual int64_t Size() = 0;

  // Conveniences built on the five operations above.
  bool ReadExact(void* buffer, size_t count) { return Read(buffer, count) == count; }
  bool WriteExact(const void* buffer, size_t count) { return Write(buffer, count) == count; }
  void Skip(int64_t count) { Seek(Position() + count); }
  int64_t Remaining() {
    const int64_t rest = Size() - Position();
    return rest > 0 ? rest : 0;
  }
  // Reads up to maxBytes from the current position to the end (never more than maxBytes, so
  // a codec can cap what it takes into memory).
  std::vector<uint8_t> ReadRest(size_t maxBytes);
};

// A file on disk. Read opens an existing file; Create makes a new file or empties an
// existing one. Failures raise EFOpenError / EFCreateError with the path and strerror text.
class FileStream : public Stream {
 public:
  enum Mode { fmOpenRead, fmCreate, fmOpenReadWrite };
  FileStream(const std::string& path, Mode mode);
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  void Seek(int64_t position) override;
  int64_t Position() const override;
  int64_t Size() override;

  const std::string& FileName() const { return m_path; }
  // Flushes buffered data; false when the system refused it (disk full, I/O error).
  bool Flush();

 protected:
  FileStream() = default;
  void attach(std::FILE* file, const std::string& path);
  void closeFile();
  std::FILE* file() const { return m_file; }

 private:
  std::FILE* m_file = nullptr;
  std::string m_path;
  int64_t m_position = 0;
  bool m_writeFailed = false;
  friend class AtomicFileStream;
};

// Writes into a temporary file in the target's folder. Commit() flushes it and renames it
// over the target; destroying the stream without a successful Commit removes the temporary
// file, so a failed or aborted write leaves neither a partial file nor a changed target.
// A target that exists must be writable (else EFCreateError, as for opening it); a symbolic
// link is followed and the file it names is replaced. The new file keeps the old one's mode.
class AtomicFileStream : public FileStream {
 public:
  explicit AtomicFileStream(const std::string& targetPath);  // raises EFCreateError
  ~AtomicFileStream() override;

  // Raises EFCreateError (target path and reason) when the data cannot be flushed or the
  // rename fails; the temporary file is removed in that case.
  void Commit();
  // Removes the temporary file; the target is left as it was.
  void Discard();
  const std::string& TargetName() const { return m_target; }
  const std::string& TempName() const { return FileName(); }
  bool WriteFailed() const { return m_writeFailed; }

 private:
  std::string m_target;       // the file replaced (a link's destination)
  std::string m_displayName;  // the name given, for error texts
  bool m_done = false;
};

// A growable block of bytes in memory.
class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<uint8_t> data) : m_data(std::move(data)) {}
  MemoryStream(const void* data, size_t size);

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  void Seek(int64_t position) override;
  int64_t Position() const override { return m_position; }
  int64_t Size() override { return static_cast<int64_t>(m_data.size()); }

  const std::vector<uint8_t>& Data() const { return m_data; }
  std::vector<uint8_t>& Data() { return m_data; }
  void Clear() {
    m_data.clear();
    m_position = 0;
  }
  // Limits the stream to capacity bytes: writes beyond it are short (to test disk-full paths).
  void SetCapacity(size_t capacity) { m_capacity = capacity; }

 private:
  std::vector<uint8_t> m_data;
  int64_t m_position = 0;
  size_t m_capacity = SIZE_MAX;
};

// Reads a whole file into memory (raises EFOpenError).
std::vector<uint8_t> ReadFileBytes(const std::string& path);

}  // namespace lumaprep
