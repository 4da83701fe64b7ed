// The control codes of the kernel's test driver.
#pragma once

#include <wdm.h>

#define TEST_DEVICE_NAME u"\\Device\\KernelTest0"
#define TEST_LINK_NAME u"\\??\\KernelTest0"
#define TEST_NO_MAGIC 0xFFFFFFFFu

// Reverses the input into the output, at once (buffered).
#define IOCTL_TEST_REVERSE CTL_CODE(0x8000u, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Echoes the input through the worker thread (buffered, pending).
#define IOCTL_TEST_PENDING_ECHO CTL_CODE(0x8000u, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes its IRP twice: a driver bug the kernel must catch.
#define IOCTL_TEST_DOUBLE_COMPLETE CTL_CODE(0x8000u, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The "Magic" parameter read at start-up, TEST_NO_MAGIC without one.
#define IOCTL_TEST_MAGIC CTL_CODE(0x8000u, 0x903, METHOD_BUFFERED, FILE_READ_ACCESS)
// The byte sum of everything written so far; needs write access.
#define IOCTL_TEST_WRITE_SUM CTL_CODE(0x8000u, 0x904, METHOD_BUFFERED, FILE_WRITE_ACCESS)
// Fills the output with 0xAB through its MDL.
#define IOCTL_TEST_FILL_DIRECT CTL_CODE(0x8000u, 0x905, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
// Returns STATUS_SUCCESS without completing its IRP: a driver bug the kernel must catch.
#define IOCTL_TEST_FORGET CTL_CODE(0x8000u, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Keeps its IRP pending for good: the kernel completes it when the driver is unloaded.
#define IOCTL_TEST_HOLD CTL_CODE(0x8000u, 0x907, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The device is also a disk of TEST_DISK_LENGTH bytes: it answers IOCTL_DISK_GET_LENGTH_INFO and
// IOCTL_DISK_IS_WRITABLE and serves flushes. Its counts of those (TEST_DISK_COUNTS).
#define IOCTL_TEST_DISK_COUNTS CTL_CODE(0x8000u, 0x908, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Gives the disk another length (a LONGLONG of bytes), as other media would.
#define IOCTL_TEST_SET_LENGTH CTL_CODE(0x8000u, 0x909, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define TEST_DISK_LENGTH (1024 * 1024)

typedef struct _TEST_DISK_COUNTS {
    ULONG StateRequests;  // length and writability requests answered
    ULONG Flushes;
} TEST_DISK_COUNTS;
