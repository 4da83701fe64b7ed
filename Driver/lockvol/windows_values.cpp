// The kernel-side constants and records the driver relies on, with the values and layouts of the
// Windows DDK. Compiled in every build and in the check against the DDK's own headers, so that
// both header sets are held to the same numbers.
#include <ntddk.h>
#include <mountdev.h>
#include <ntddcdrm.h>
#include <ntdddisk.h>
#include <ntddstor.h>

#include <cstddef>

#include "lockvol/lockvol_ioctl.h"

// The driver's own requests.
static_assert(IOCTL_VD_OPEN_FILE == 0x8000E000);
static_assert(IOCTL_VD_CLOSE_FILE == 0x8000E004);
static_assert(IOCTL_VD_QUERY_FILE == 0x80006008);
static_assert(IOCTL_VD_SET_KEY == 0x8000E00C);
static_assert(IOCTL_VD_OPEN_KEY == 0x8000E010);
static_assert(IOCTL_VD_CHANGE_KEY == 0x8000E014);

// The standard requests it answers.
static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x00070000);
static_assert(IOCTL_DISK_GET_PARTITION_INFO == 0x00074004);
static_assert(IOCTL_DISK_SET_PARTITION_INFO == 0x0007C008);
static_assert(IOCTL_DISK_VERIFY == 0x00070014);
static_assert(IOCTL_DISK_IS_WRITABLE == 0x00070024);
static_assert(IOCTL_DISK_GET_PARTITION_INFO_EX == 0x00070048);
static_assert(IOCTL_DISK_GET_LENGTH_INFO == 0x0007405C);
static_assert(IOCTL_DISK_CHECK_VERIFY == 0x00074800);
static_assert(IOCTL_DISK_MEDIA_REMOVAL == 0x00074804);
static_assert(IOCTL_STORAGE_CHECK_VERIFY == 0x002D4800);
static_assert(IOCTL_STORAGE_CHECK_VERIFY2 == 0x002D0800);
static_assert(IOCTL_STORAGE_MEDIA_REMOVAL == 0x002D4804);
static_assert(IOCTL_STORAGE_GET_HOTPLUG_INFO == 0x002D0C14);
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x002D1080);
static_assert(IOCTL_CDROM_READ_TOC == 0x00024000);
static_assert(IOCTL_CDROM_GET_LAST_SESSION == 0x00024038);
static_assert(IOCTL_CDROM_GET_DRIVE_GEOMETRY == 0x0002404C);
static_assert(IOCTL_CDROM_CHECK_VERIFY == 0x00024800);
static_assert(IOCTL_MOUNTDEV_QUERY_DEVICE_NAME == 0x004D0008);

// The status codes it completes requests with.
static_assert(STATUS_SUCCESS == 0x00000000);
static_assert(STATUS_PENDING == 0x00000103);
static_assert(STATUS_INFO_LENGTH_MISMATCH == (NTSTATUS)0xC0000004);
static_assert(STATUS_INVALID_PARAMETER == (NTSTATUS)0xC000000D);
static_assert(STATUS_NO_SUCH_DEVICE == (NTSTATUS)0xC000000E);
static_assert(STATUS_NO_SUCH_FILE == (NTSTATUS)0xC000000F);
static_assert(STATUS_INVALID_DEVICE_REQUEST == (NTSTATUS)0xC0000010);
static_assert(STATUS_NO_MEDIA_IN_DEVICE == (NTSTATUS)0xC0000013);
static_assert(STATUS_NO_MEMORY == (NTSTATUS)0xC0000017);
static_assert(STATUS_ACCESS_DENIED == (NTSTATUS)0xC0000022);
static_assert(STATUS_BUFFER_TOO_SMALL == (NTSTATUS)0xC0000023);
static_assert(STATUS_OBJECT_NAME_NOT_FOUND == (NTSTATUS)0xC0000034);
static_assert(STATUS_OBJECT_NAME_COLLISION == (NTSTATUS)0xC0000035);
static_assert(STATUS_DATA_ERROR == (NTSTATUS)0xC000003E);
static_assert(STATUS_SHARING_VIOLATION == (NTSTATUS)0xC0000043);
static_assert(STATUS_DISK_FULL == (NTSTATUS)0xC000007F);
static_assert(STATUS_INSUFFICIENT_RESOURCES == (NTSTATUS)0xC000009A);
static_assert(STATUS_MEDIA_WRITE_PROTECTED == (NTSTATUS)0xC00000A2);
static_assert(STATUS_FILE_IS_A_DIRECTORY == (NTSTATUS)0xC00000BA);
static_assert(STATUS_DEVICE_DOES_NOT_EXIST == (NTSTATUS)0xC00000C0);
static_assert(STATUS_WRONG_PASSWORD_CORE == (NTSTATUS)0xC0000149);
static_assert(STATUS_PARTITION_FAILURE == (NTSTATUS)0xC0000172);
static_assert(STATUS_DRIVER_INTERNAL_ERROR == (NTSTATUS)0xC0000183);
static_assert(STATUS_IO_DEVICE_ERROR == (NTSTATUS)0xC0000185);

// The records of the standard answers, as a 64-bit Windows lays them out.
static_assert(sizeof(DISK_GEOMETRY) == 24);
static_assert(offsetof(DISK_GEOMETRY, Cylinders) == 0);
static_assert(offsetof(DISK_GEOMETRY, MediaType) == 8);
static_assert(offsetof(DISK_GEOMETRY, TracksPerCylinder) == 12);
static_assert(offsetof(DISK_GEOMETRY, SectorsPerTrack) == 16);
static_assert(offsetof(DISK_GEOMETRY, BytesPerSector) == 20);
static_assert(FixedMedia == 12);

static_assert(sizeof(PARTITION_INFORMATION) == 32);
static_assert(offsetof(PARTITION_INFORMATION, StartingOffset) == 0);
static_assert(offsetof(PARTITION_INFORMATION, PartitionLength) == 8);
static_assert(offsetof(PARTITION_INFORMATION, HiddenSectors) == 16);
static_assert(offsetof(PARTITION_INFORMATION, PartitionNumber) == 20);
static_assert(offsetof(PARTITION_INFORMATION, PartitionType) == 24);
static_assert(offsetof(PARTITION_INFORMATION, BootIndicator) == 25);
static_assert(offsetof(PARTITION_INFORMATION, RecognizedPartition) == 26);
static_assert(offsetof(PARTITION_INFORMATION, RewritePartition) == 27);

static_assert(sizeof(PARTITION_INFORMATION_EX) == 144);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionStyle) == 0);
static_assert(offsetof(PARTITION_INFORMATION_EX, StartingOffset) == 8);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionLength) == 16);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionNumber) == 24);
static_assert(offsetof(PARTITION_INFORMATION_EX, RewritePartition) == 28);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr) == 32);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr.PartitionType) == 32);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr.BootIndicator) == 33);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr.RecognizedPartition) == 34);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr.HiddenSectors) == 36);
static_assert(PARTITION_STYLE_MBR == 0);

static_assert(sizeof(GET_LENGTH_INFORMATION) == 8);
static_assert(sizeof(VERIFY_INFORMATION) == 16);
static_assert(offsetof(VERIFY_INFORMATION, Length) == 8);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) == 4);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, PartitionNumber) == 8);
static_assert(sizeof(STORAGE_HOTPLUG_INFO) == 8);
static_assert(offsetof(STORAGE_HOTPLUG_INFO, MediaRemovable) == 4);
static_assert(offsetof(STORAGE_HOTPLUG_INFO, MediaHotplug) == 5);
static_assert(offsetof(STORAGE_HOTPLUG_INFO, DeviceHotplug) == 6);
static_assert(offsetof(STORAGE_HOTPLUG_INFO, WriteCacheEnableOverride) == 7);
static_assert(sizeof(MOUNTDEV_NAME) == 4);
static_assert(offsetof(MOUNTDEV_NAME, Name) == 2);
static_assert(sizeof(CDROM_TOC) == 804);
static_assert(sizeof(WCHAR) == 2);
