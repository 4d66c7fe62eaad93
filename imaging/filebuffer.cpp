#include "imaging/filebuffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <random>

#include "imaging/imagebitmap.h"

namespace lumaprep {

namespace {

std::string tempFolder() {
  std::string folder = ImageSettings().TempFolder;
  if (folder.empty()) {
    std::error_code ec;
    folder = std::filesystem::temp_directory_path(ec).string();
    if (ec || folder.empty()) folder = "/tmp";
  }
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string randomName(const std::string& folder) {
  thread_local std::mt19937 rng{std::random_device{}()};
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", unsigned(rng() & 0x7FFFFFFFu));
  return folder + "IMG-" + hex + ".tmp";
}

bool preadAll(int fd, uint8_t* data, size_t length, int64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pread(fd, data, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {  // past the end of a sparse file: zeros
      std::memset(data, 0, length);
      return true;
    }
    data += n;
    length -= size_t(n);
    offset += n;
  }
  return true;
}

bool pwriteAll(int fd, const uint8_t* data, size_t length, int64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, data, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= size_t(n);
    offset += n;
  }
  return true;
}

}  // namespace

TImageFileBuffer::~TImageFileBuffer() {
  try {
    FreeFile();
  } catch (...) {
  }
}

void TImageFileBuffer::AllocateFile(int64_t size) {
  FreeFile();
  const std::string folder = tempFolder();
  std::string name;
  int fd = -1;
  // O_EXCL draws again while a file of that name exists.
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    name = randomName(folder);
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw EInOutError("Unable to create " + name);
  // Unlinked at once: nobody else can open it, and it goes away when closed, even after a crash.
  ::unlink(name.c_str());
  if (size < 0 || ::ftruncate(fd, off_t(size)) != 0) {
    ::close(fd);
    throw EInOutError("Unable to create " + name);
  }
  // Reserve the space now, so that a full disk shows here (and the caller can use memory
  // instead) rather than as a failed row write later. File systems without the call are fine.
  if (size > 0) {
    const int rc = ::posix_fallocate(fd, 0, off_t(size));
    if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) {
      ::close(fd);
      throw EInOutError("Unable to create " + name);
    }
  }
  m_fd = fd;
  m_size = size;
  m_fileName = name;
}

void TImageFileBuffer::FreeFile() {
  if (m_fd < 0) return;
  std::exception_ptr failure;
  try {
    UnmapAll();
  } catch (...) {
    failure = std::current_exception();
  }
  ::close(m_fd);
  m_fd = -1;
  m_size = 0;
  m_fileName.clear();
  if (failure) std::rethrow_exception(failure);
}

uint8_t* TImageFileBuffer::Map(int64_t offset, int length, uint8_t mode) {
  if (m_fd < 0 || offset < 0 || length < 0 || offset > m_size || length > m_size - offset)
    throw EInOutError("Row outside the temporary store " + m_fileName);
  Mapping m{offset, std::make_unique<uint8_t[]>(size_t(std::max(length, 1))), length, mode};
  if (mode & iaRead) {
    if (!preadAll(m_fd, m.data.get(), size_t(length), offset))
      throw EInOutError("Unable to read " + m_fileName);
  } else {
    std::memset(m.data.get(), 0, size_t(length));
  }
  uint8_t* p = m.data.get();
  m_mappings.push_back(std::move(m));
  return p;
}

void TImageFileBuffer::writeBack(const Mapping& m) {
  if ((m.mode & iaWrite) && !pwriteAll(m_fd, m.data.get(), size_t(m.length), m.offset))
    throw EInOutError("Unable to write " + m_fileName);
}

void TImageFileBuffer::Unmap(const uint8_t* buffer) {
  if (!buffer) return;
  for (auto it = m_mappings.begin(); it != m_mappings.end(); ++it) {
    if (it->data.get() == buffer) {
      Mapping m = std::move(*it);
      m_mappings.erase(it);
      writeBack(m);
      return;
    }
  }
}

void TImageFileBuffer::UnmapAll() {
  std::vector<Mapping> all;
  all.swap(m_mappings);
  bool ok = true;
  for (const Mapping& m : all) {
    if ((m.mode & iaWrite) && !pwriteAll(m_fd, m.data.get(), size_t(m.length), m.offset))
      ok = false;
  }
  if (!ok) throw EInOutError("Unable to write " + m_fileName);
}

void TImageFileBuffer::CopyTo(TImageFileBuffer& target) {
  UnmapAll();
  target.UnmapAll();
  if (m_fd < 0 || target.m_fd < 0) return;
  constexpr int64_t kChunk = 1048576;
  std::vector<uint8_t> chunk(static_cast<size_t>(kChunk));
  const int64_t total = std::min(m_size, target.m_size);
  for (int64_t pos = 0; pos < total; pos += kChunk) {
    const size_t n = size_t(std::min(kChunk, total - pos));
    if (!preadAll(m_fd, chunk.data(), n, pos)) throw EInOutError("Unable to read " + m_fileName);
    if (!pwriteAll(target.m_fd, chunk.data(), n, pos))
      throw EInOutError("Unable to write " + target.m_fileName);
  }
}

}  // namespace lumaprep
