#ifndef VXPATCH_LZMAFILE_H
#define VXPATCH_LZMAFILE_H

#include <cstdint>
#include <string>

namespace vxpatch {

class ByteSink;
class MappedFile;

// The package container: one file, LZMA2-compressed, behind a small header.
//   varint  magic 132781929 (bytes E9 AE A8 3F)
//   varint  checksum (ComputeCrc) of the whole decoded file
//   varint  directive: 1 plain, 2 "dis_and_diff"
//   body    1: one LZMA2 block holding the file.
//           2: one LZMA2 block holding a stream set of N >= 2 streams: streams 0 to N-2
//              each a nested set with one executable's encoded program, stream N-1 a
//              diff (no header) from the reassembled programs, back to back, to the file.
// Errors go to the log at level ERROR. The functions keep no state of their own and
// may run on any thread.
constexpr uint32_t kLzmaFileMagic = 132781929;

enum LzmaFileDirective : uint32_t {
    LZMA_FILE_PLAIN = 1,
    LZMA_FILE_DIS_AND_DIFF = 2,
};

// Decodes the container at `inputPath` into a new file at `outputPath`. The output is
// written only after the checksum matched; a failed write removes what it left.
bool UnpackLzmaFile(const std::string& inputPath, const std::string& outputPath);

// As above for a plain container whose declared unpacked size is at most `maxOutput`; checked
// before anything is allocated or written. A preprocessed container is refused, since its size
// is known only once it has been rebuilt.
bool UnpackLzmaFileLimited(
    const std::string& inputPath, const std::string& outputPath, uint32_t maxOutput);

// As UnpackLzmaFileLimited, writing through `outputFd` (open for writing, kept open; the caller
// removes what a failed write left); 0xFFFFFFFF is no limit.
bool UnpackLzmaFileToDescriptor(const std::string& inputPath, int outputFd, uint32_t maxOutput);

// Writes a container for `inputPath` to `outputPath`. With `preprocess` the executables
// in the file are stored as encoded programs when that works, else the file is stored
// plain. Returns false when the input cannot be read, its type cannot be detected or
// the container cannot be written whole.
bool PackLzmaFile(const std::string& inputPath, const std::string& outputPath, bool preprocess);

// Appends the magic and the checksum.
bool WriteLzmaFileHeader(ByteSink* sink, uint32_t crc);

// Appends the header, directive 1 and one LZMA2 block of the whole mapped file.
bool WritePlainLzmaBody(const MappedFile& input, ByteSink* sink, uint32_t crc);

} // namespace vxpatch

#endif // VXPATCH_LZMAFILE_H
