#include "platform/workbook/ZipPackage.h"

#include "platform/workbook/WorkbookError.h"

#include <minizip/zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace kestrove::workbook {

namespace {

constexpr std::uint64_t Zip32Limit = 0xFFFFFFFFu;

// minizip's own file functions, but opening a file that is open already: the "path" is the
// address of its descriptor, of which minizip gets a duplicate. A file reopened by its name
// could be one that someone else made under it meanwhile.
voidpf ZCALLBACK openDescriptor(voidpf, const void* descriptor, int) {
    const int fd = ::fcntl(*static_cast<const int*>(descriptor), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        const int error = errno; // for the message
        ::close(fd);
        errno = error;
    }
    return file;
}

zip_fileinfo partInfo() {
    zip_fileinfo info{};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
    info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
    info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
    info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
    info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
    info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
    return info;
}

} // namespace

ZipPackage::ZipPackage(int fd, std::string shownPath) : m_shownPath(std::move(shownPath)) {
    zlib_filefunc64_def functions;
    fill_fopen64_filefunc(&functions);
    functions.zopen64_file = openDescriptor;
    errno = 0;
    m_zip = zipOpen2_64(&fd, APPEND_STATUS_CREATE, nullptr, &functions);
    if (!m_zip)
        throw WorkbookError("The workbook " + m_shownPath +
                            " could not be created: " + std::strerror(errno ? errno : EIO));
}

ZipPackage::~ZipPackage() {
    if (m_zip)
        zipClose(m_zip, nullptr);
}

void ZipPackage::check(int result, const char* what) {
    if (result == ZIP_OK)
        return;
    const int error = result == ZIP_ERRNO && errno != 0 ? errno : EIO;
    throw WorkbookError("The workbook " + m_shownPath + " could not be written (" + what +
                        "): " + std::strerror(error));
}

void ZipPackage::addPart(const std::string& name, std::string_view content) {
    const zip_fileinfo info = partInfo();
    errno = 0;
    check(zipOpenNewFileInZip4_64(m_zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                  Z_DEFAULT_STRATEGY, nullptr, 0, 0, 0, 0),
          name.c_str());
    check(zipWriteInFileInZip(m_zip, content.data(), static_cast<unsigned>(content.size())),
          name.c_str());
    check(zipCloseFileInZip(m_zip), name.c_str());
}

void ZipPackage::beginCompressedPart(const std::string& name, std::uint64_t compressedSize,
                                     std::uint64_t plainSize) {
    const zip_fileinfo info = partInfo();
    const int zip64 = compressedSize >= Zip32Limit || plainSize >= Zip32Limit ? 1 : 0;
    errno = 0;
    check(zipOpenNewFileInZip4_64(m_zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1, -MAX_WBITS, DEF_MEM_LEVEL,
                                  Z_DEFAULT_STRATEGY, nullptr, 0, 0, 0, zip64),
          name.c_str());
}

void ZipPackage::writeCompressed(const char* data, std::size_t size) {
    while (size > 0) {
        const auto piece = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
        errno = 0;
        check(zipWriteInFileInZip(m_zip, data, piece), "sheet");
        data += piece;
        size -= piece;
    }
}

void ZipPackage::endCompressedPart(std::uint64_t plainSize, unsigned long crc) {
    errno = 0;
    check(zipCloseFileInZipRaw64(m_zip, plainSize, crc), "sheet");
}

void ZipPackage::close() {
    errno = 0;
    const int result = zipClose(std::exchange(m_zip, nullptr), nullptr);
    check(result, "closing");
}

} // namespace kestrove::workbook
