#pragma once

// The zip container of an .xlsx file, through minizip. Parts are either given whole and
// compressed here, or handed over already compressed (raw deflate) with their CRC-32
// and sizes. Zip64 records are written only where a part or the file needs them.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrove::workbook {

class ZipPackage {
public:
    // Writes the package into the open, empty file `fd`, which stays the caller's; throws
    // WorkbookError when it cannot.
    ZipPackage(int fd, std::string shownPath);
    // A package never closed is left unfinished; its file is the caller's to remove.
    ~ZipPackage();
    ZipPackage(const ZipPackage&) = delete;
    ZipPackage& operator=(const ZipPackage&) = delete;

    void addPart(const std::string& name, std::string_view content);

    void beginCompressedPart(const std::string& name, std::uint64_t compressedSize,
                             std::uint64_t plainSize);
    void writeCompressed(const char* data, std::size_t size);
    void endCompressedPart(std::uint64_t plainSize, unsigned long crc);

    // Writes the central directory and closes the file; throws when that fails.
    void close();

private:
    void check(int result, const char* what);

    void* m_zip = nullptr;
    std::string m_shownPath;
};

} // namespace kestrove::workbook
