// A container file on the host, seen through the header operations and as whole sectors.
#pragma once

#include <cstdint>
#include <string>

#include "format/container_header.h"
#include "format/unit_cipher.h"

namespace vdtool {

// Owns an open container file descriptor; reads and writes at offsets.
class ContainerFile : public vdformat::ContainerPort {
public:
    ContainerFile() = default;
    ~ContainerFile() override;
    ContainerFile(const ContainerFile&) = delete;
    ContainerFile& operator=(const ContainerFile&) = delete;

    // Opens an existing container; on failure `error` says why.
    bool Open(const std::string& path, bool writable, std::string& error);
    // Creates a new file of `dataBytes` + 8192 zero bytes; refuses to replace an existing one.
    bool Create(const std::string& path, std::uint64_t dataBytes, std::string& error);
    // Removes a file that Create made, after a later step failed.
    void Discard();

    std::uint64_t DataBytes() const { return fileBytes_ - vdformat::kHeaderBytes; }
    // Whether the file takes less disk space than its size.
    bool Sparse() const;
    std::uint64_t SectorCount() const { return DataBytes() / vdformat::kSectorBytes; }

    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept override;
    std::int32_t WriteAt(std::uint64_t offset, const void* buffer,
                         std::size_t length) noexcept override;
    std::uint32_t TickCount() noexcept override;

private:
    int fd_ = -1;
    std::uint64_t fileBytes_ = 0;
    std::string createdPath_;
};

}  // namespace vdtool
