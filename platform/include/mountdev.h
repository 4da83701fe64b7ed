// Mount manager requests answered by disk devices.
#pragma once

// As in the DDK, this header builds on the kernel's types: include <ntddk.h> first.
#ifndef _WDMDDK_
#error "include <ntddk.h> (or <wdm.h>) before <mountdev.h>"
#endif

#define MOUNTDEVCONTROLTYPE 0x0000004D
#define IOCTL_MOUNTDEV_QUERY_UNIQUE_ID \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_QUERY_DEVICE_NAME \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _MOUNTDEV_NAME {
    USHORT NameLength;  // bytes
    WCHAR Name[1];
} MOUNTDEV_NAME, *PMOUNTDEV_NAME;

typedef struct _MOUNTDEV_UNIQUE_ID {
    USHORT UniqueIdLength;
    UCHAR UniqueId[1];
} MOUNTDEV_UNIQUE_ID, *PMOUNTDEV_UNIQUE_ID;

static_assert(sizeof(MOUNTDEV_NAME) == 4);
