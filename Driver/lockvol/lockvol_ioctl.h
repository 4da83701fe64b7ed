// The private control requests of the lockvol disk devices and the records they carry.
//
// Shared by the driver and its user-mode senders: include <ntddk.h>, or <windows.h> and
// <winioctl.h>, first. Every record travels buffered, little-endian.
#pragma once

#include <cstddef>

// Unsigned, so that the codes built on it are unsigned as the request codes they are compared with.
#define FILE_DEVICE_VAULTDISK 0x8000u

#define IOCTL_VD_OPEN_FILE \
    CTL_CODE(FILE_DEVICE_VAULTDISK, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_VD_CLOSE_FILE \
    CTL_CODE(FILE_DEVICE_VAULTDISK, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_VD_QUERY_FILE \
    CTL_CODE(FILE_DEVICE_VAULTDISK, 0x802, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_VD_SET_KEY \
    CTL_CODE(FILE_DEVICE_VAULTDISK, 0x803, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_VD_OPEN_KEY \
    CTL_CODE(FILE_DEVICE_VAULTDISK, 0x804, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_VD_CHANGE_KEY \
    CTL_CODE(FILE_DEVICE_VAULTDISK, 0x805, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

// The disk devices, numbered from 0; the controller binds devices 0 to 3.
#define VD_DEVICE_DIRECTORY_NAME "\\Device\\Harddisk"
#define VD_DEVICE_NAME_PREFIX "\\Device\\Harddisk\\VaultDisk"
#define VD_DEVICE_NAME_FORMAT VD_DEVICE_NAME_PREFIX "%u"

#define VD_HEADER_SIZE 8192
#define VD_SIZE_GRANULE 0x40000  // data-area sizes of new containers are multiples of this
#define VD_SECTOR_SIZE 4096
#define VD_MAX_FILE_NAME_LENGTH 259
#define VD_USER_KEY_SIZE 40
#define VD_KEY_MATERIAL_SIZE 4500

// Input of IOCTL_VD_OPEN_FILE, output of IOCTL_VD_QUERY_FILE.
typedef struct _VD_OPEN_FILE_INFORMATION {
    LARGE_INTEGER FileSize;  // data-area size; 0 opens an existing file only
    UCHAR ReadOnly;
    UCHAR Reserved;
    USHORT FileNameLength;  // bytes, without the terminator
    CHAR FileName[268];     // ANSI, NT form ("\??\C:\...")
} VD_OPEN_FILE_INFORMATION, *PVD_OPEN_FILE_INFORMATION;

// Input of IOCTL_VD_SET_KEY.
typedef struct _VD_SET_KEY_REQUEST {
    UCHAR KeyMaterial[VD_KEY_MATERIAL_SIZE];
    UCHAR UserKey[VD_USER_KEY_SIZE];
} VD_SET_KEY_REQUEST, *PVD_SET_KEY_REQUEST;

// Input of IOCTL_VD_OPEN_KEY.
typedef struct _VD_OPEN_KEY_REQUEST {
    UCHAR UserKey[VD_USER_KEY_SIZE];
} VD_OPEN_KEY_REQUEST, *PVD_OPEN_KEY_REQUEST;

// Input of IOCTL_VD_CHANGE_KEY.
typedef struct _VD_CHANGE_KEY_REQUEST {
    UCHAR OldUserKey[VD_USER_KEY_SIZE];
    UCHAR NewUserKey[VD_USER_KEY_SIZE];
} VD_CHANGE_KEY_REQUEST, *PVD_CHANGE_KEY_REQUEST;

static_assert(sizeof(VD_OPEN_FILE_INFORMATION) == 280);
static_assert(offsetof(VD_OPEN_FILE_INFORMATION, ReadOnly) == 8);
static_assert(offsetof(VD_OPEN_FILE_INFORMATION, FileNameLength) == 10);
static_assert(offsetof(VD_OPEN_FILE_INFORMATION, FileName) == 12);
static_assert(sizeof(VD_SET_KEY_REQUEST) == 4540);
static_assert(offsetof(VD_SET_KEY_REQUEST, UserKey) == 4500);
static_assert(sizeof(VD_OPEN_KEY_REQUEST) == 40);
static_assert(sizeof(VD_CHANGE_KEY_REQUEST) == 80);
static_assert(offsetof(VD_CHANGE_KEY_REQUEST, NewUserKey) == 40);

static_assert(static_cast<ULONG>(IOCTL_VD_OPEN_FILE) == 0x8000E000);
static_assert(static_cast<ULONG>(IOCTL_VD_CLOSE_FILE) == 0x8000E004);
static_assert(static_cast<ULONG>(IOCTL_VD_QUERY_FILE) == 0x80006008);
static_assert(static_cast<ULONG>(IOCTL_VD_SET_KEY) == 0x8000E00C);
static_assert(static_cast<ULONG>(IOCTL_VD_OPEN_KEY) == 0x8000E010);
static_assert(static_cast<ULONG>(IOCTL_VD_CHANGE_KEY) == 0x8000E014);
