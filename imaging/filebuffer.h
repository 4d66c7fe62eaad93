#pragma once
// TImageFileBuffer: the row store of a file-backed image buffer (Location imFile). The pixels
// live in a temporary file that nobody else can open and that disappears when the store is
// freed or the process ends; rows are mapped into small heap buffers one at a time.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumaprep {

// Input/output failure of a temporary store ("Unable to create <file name>").
class EInOutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Access modes of a mapping (and of TImageBitmap::Access): a combination of these bits.
enum TImageAccess : uint8_t { iaRead = 1, iaWrite = 2, iaReadWrite = 3 };

class TImageFileBuffer {
 public:
  TImageFileBuffer() = default;
  ~TImageFileBuffer();
  TImageFileBuffer(const TImageFileBuffer&) = delete;
  TImageFileBuffer& operator=(const TImageFileBuffer&) = delete;

  // Creates a new temporary file of `size` bytes in the process-wide temporary folder (or the
  // system's). Frees any previous file first. Throws EInOutError when the file cannot be made.
  void AllocateFile(int64_t size);
  // Unmaps every row (writing back those mapped for writing), closes and deletes the file.
  void FreeFile();
  bool IsAllocated() const { return m_fd >= 0; }
  int64_t Size() const { return m_size; }
  const std::string& FileName() const { return m_fileName; }

  // Maps `length` bytes at `offset` into a heap buffer, read from the file when mode has iaRead
  // (zero-filled otherwise). The buffer stays valid until Unmap, UnmapAll or FreeFile.
  // Throws EInOutError on a read failure or a range outside the file.
  uint8_t* Map(int64_t offset, int length, uint8_t mode);
  // Writes the buffer back when it was mapped with iaWrite, then frees it. Unknown pointers
  // are ignored.
  void Unmap(const uint8_t* buffer);
  void UnmapAll();

  // Copies the whole content into `target` (same size expected; the shorter length is copied)
  // in chunks of 1 MB after unmapping both.
  void CopyTo(TImageFileBuffer& target);

 private:
  struct Mapping {
    int64_t offset;
    std::unique_ptr<uint8_t[]> data;
    int length;
    uint8_t mode;
  };
  void writeBack(const Mapping& m);

  int m_fd = -1;
  int64_t m_size = 0;
  std::string m_fileName;
  std::vector<Mapping> m_mappings;
};

}  // namespace lumaprep
