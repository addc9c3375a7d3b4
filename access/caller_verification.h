// Admission of the process that opens the device: only the vendor's own
// executables, in the directory of its main service's executable, may open
// it.
#pragma once

#include "platform/platform.h"

// What every refused open is completed with.
static const NTSTATUS CALLER_REFUSED = (NTSTATUS)0xC0000421L;

// Why an "ImagePath" value cannot name the main service's executable.
static const NTSTATUS IMAGE_PATH_UNUSABLE = STATUS_OBJECT_PATH_SYNTAX_BAD;

// Capacity in bytes of the buffer that receives the directory's NT name and
// in which every candidate image name is formed (260 characters).
static const USHORT NAME_BUFFER_SIZE = 520;

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Success when the process's executable is one of the permitted names in the
// main service's directory; CALLER_REFUSED when everything could be read and
// no name matched; the failing step's status otherwise.
NTSTATUS VerifyCallerImage(PEPROCESS Process);

// The NT name of the directory at Path, copied into Name's buffer (within
// its MaximumLength, not terminated); Name's Length is set on success.
NTSTATUS QueryDirectoryName(PCUNICODE_STRING Path, PUNICODE_STRING Name);

// A new paged-pool buffer that begins with the process's image file name as a
// counted string, its text following; the caller frees it with tag 0. On
// failure *ImageName is null.
NTSTATUS QueryProcessImageName(PEPROCESS Process, PUNICODE_STRING* ImageName);
