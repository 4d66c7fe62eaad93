#include "imaging/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace lumaprep {

namespace {

std::string openErrorText(const std::string& path, int err) {
  return "Cannot open file \"" + path + "\". " + std::strerror(err);
}

std::string createErrorText(const std::string& path, int err) {
  return "Cannot create file \"" + path + "\". " + std::strerror(err);
}

// Mode bits a newly created file gets: 0666 minus the process's umask.
mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

// ---- Stream -------------------------------------------------------------------------------

std::vector<uint8_t> Stream::ReadRest(size_t maxBytes) {
  const int64_t rest = Remaining();
  size_t n = static_cast<size_t>(
      std::min<int64_t>(rest, static_cast<int64_t>(std::min<size_t>(maxBytes, INT64_MAX))));
  std::vector<uint8_t> bytes(n);
  if (n > 0) bytes.resize(Read(bytes.data(), n));
  return bytes;
}

// ---- FileStream ---------------------------------------------------------------------------

FileStream::FileStream(const std::string& path, Mode mode) {
  const char* how = mode == fmOpenRead ? "rb" : mode == fmCreate ? "wb" : "r+b";
  std::FILE* f = std::fopen(path.c_str(), how);
  if (!f) {
    const int err = errno;
    if (mode == fmCreate) throw EFCreateError(createErrorText(path, err));
    throw EFOpenError(openErrorText(path, err));
  }
  // A directory opens for reading on Linux; reading it fails later. Refuse it here.
  struct stat st {};
  if (::fstat(::fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    if (mode == fmCreate) throw EFCreateError(createErrorText(path, EISDIR));
    throw EFOpenError(openErrorText(path, EISDIR));
  }
  attach(f, path);
}

FileStream::~FileStream() { closeFile(); }

void FileStream::attach(std::FILE* file, const std::string& path) {
  m_file = file;
  m_path = path;
  m_position = 0;
  // Codecs read and write in large blocks; a bigger stdio buffer saves system calls for the
  // small reads of headers.
  std::setvbuf(m_file, nullptr, _IOFBF, 1 << 16);
}

void FileStream::closeFile() {
  if (m_file) {
    std::fclose(m_file);
    m_file = nullptr;
  }
}

size_t FileStream::Read(void* buffer, size_t count) {
  if (!m_file || count == 0) return 0;
  const size_t n = std::fread(buffer, 1, count, m_file);
  m_position += static_cast<int64_t>(n);
  if (n < count) std::clearerr(m_file);
  return n;
}

size_t FileStream::Write(const void* buffer, size_t count) {
  if (!m_file || count == 0) return 0;
  const size_t n = std::fwrite(buffer, 1, count, m_file);
  m_position += static_cast<int64_t>(n);
  if (n < count) {
    m_writeFailed = true;
    std::clearerr(m_file);
  }
  return n;
}

void FileStream::Seek(int64_t position) {
  if (!m_file) return;
  if (position < 0) position = 0;
  if (::fseeko(m_file, static_cast<off_t>(position), SEEK_SET) == 0) m_position = position;
}

int64_t FileStream::Position() const { return m_position; }

int64_t FileStream::Size() {
  if (!m_file) return 0;
  std::fflush(m_file);
  struct stat st {};
  if (::fstat(::fileno(m_file), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

bool FileStream::Flush() {
  if (!m_file) return false;
  if (std::fflush(m_file) != 0) {
    m_writeFailed = true;
    return false;
  }
  return !m_writeFailed;
}

// ---- AtomicFileStream ---------------------------------------------------------------------

AtomicFileStream::AtomicFileStream(const std::string& targetPath)
    : m_target(targetPath), m_displayName(targetPath) {
  namespace fs = std::filesystem;
  // An existing target must be writable for us, as when it is opened for writing; a link is
  // followed, so that the file it points to is replaced and the link stays.
  struct stat st {};
  if (::stat(targetPath.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw EFCreateError(createErrorText(targetPath, EISDIR));
    if (::access(targetPath.c_str(), W_OK) != 0)
      throw EFCreateError(createErrorText(targetPath, errno));
    std::error_code ec;
    const fs::path real = fs::canonical(targetPath, ec);
    if (!ec) m_target = real.string();
  }
  const fs::path target(m_target);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::string pattern = (folder / ("." + target.filename().string() + ".lumaprep-XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw EFCreateError(createErrorText(targetPath, errno));
  // The new file gets the target's permissions when it replaces one, else the usual ones.
  const mode_t mode = ::stat(m_target.c_str(), &st) == 0 ? (st.st_mode & 07777) : newFileMode();
  ::fchmod(fd, mode);
  std::FILE* f = ::fdopen(fd, "w+b");
  if (!f) {
    const int err = errno;
    ::close(fd);
    ::unlink(name.data());
    throw EFCreateError(createErrorText(targetPath, err));
  }
  attach(f, std::string(name.data()));
}

AtomicFileStream::~AtomicFileStream() { Discard(); }

void AtomicFileStream::Commit() {
  if (m_done) return;
  int err = 0;
  if (!file()) {
    err = EBADF;
  } else if (std::fflush(file()) != 0 || m_writeFailed) {
    err = errno ? errno : EIO;
  }
  if (err == 0) {
    std::FILE* f = file();
    m_file = nullptr;
    if (std::fclose(f) != 0) err = errno ? errno : EIO;
  }
  if (err == 0 && std::rename(FileName().c_str(), m_target.c_str()) != 0) err = errno;
  if (err != 0) {
    Discard();
    throw EFCreateError(createErrorText(m_displayName, err));
  }
  m_done = true;
}

void AtomicFileStream::Discard() {
  if (m_done) return;
  closeFile();
  ::unlink(FileName().c_str());
  m_done = true;
}

// ---- MemoryStream -------------------------------------------------------------------------

MemoryStream::MemoryStream(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (p && size) m_data.assign(p, p + size);
}

size_t MemoryStream::Read(void* buffer, size_t count) {
  const int64_t size = static_cast<int64_t>(m_data.size());
  if (count == 0 || m_position >= size) return 0;
  const size_t n = static_cast<size_t>(std::min<int64_t>(size - m_position, count));
  std::memcpy(buffer, m_data.data() + m_position, n);
  m_position += static_cast<int64_t>(n);
  return n;
}

size_t MemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return 0;
  const uint64_t pos = static_cast<uint64_t>(m_position);
  if (pos >= m_capacity) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, m_capacity - pos));
  if (pos + n > m_data.size()) m_data.resize(static_cast<size_t>(pos + n));
  std::memcpy(m_data.data() + pos, buffer, n);
  m_position += static_cast<int64_t>(n);
  return n;
}

void MemoryStream::Seek(int64_t position) { m_position = position < 0 ? 0 : position; }

// ---- helpers ------------------------------------------------------------------------------

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  FileStream f(path, FileStream::fmOpenRead);
  const int64_t size = f.Size();
  std::vector<uint8_t> bytes(static_cast<size_t>(size > 0 ? size : 0));
  if (!bytes.empty()) bytes.resize(f.Read(bytes.data(), bytes.size()));
  return bytes;
}

}  // namespace lumaprep
