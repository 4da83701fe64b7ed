// The chief header as user-mode senders include it, and the bytes its records put on the wire.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "lockvol/lockvol_ioctl.h"

namespace {

template <typename Record>
std::vector<std::uint8_t> Wire(const Record& record) {
    std::vector<std::uint8_t> bytes(sizeof(record));
    std::memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

TEST(ChiefHeaderTest, TheOpenFileRecordIsLittleEndianWithItsFieldsInPlace) {
    VD_OPEN_FILE_INFORMATION record;
    std::memset(&record, 0, sizeof(record));
    record.FileSize.QuadPart = 0x0000000123440000;
    record.ReadOnly = 1;
    record.FileNameLength = 0x0102;
    std::memcpy(record.FileName, "\\??\\C:", 6);

    std::vector<std::uint8_t> expected(280, 0);
    const std::uint8_t head[] = {0x00, 0x00, 0x44, 0x23, 0x01, 0x00, 0x00, 0x00,  // FileSize
                                 0x01, 0x00,                                      // ReadOnly
                                 0x02, 0x01,                                      // length
                                 '\\', '?',  '?',  '\\', 'C',  ':'};
    std::memcpy(expected.data(), head, sizeof(head));
    EXPECT_EQ(Wire(record), expected);
}

}  // namespace
