// The Win32 file layer under TFileStream, and the file-error texts the stub reports.
#pragma once

#include <stdint.h>

#include "crypto/Status.h"

// An error naming a file and the system's text for `error`:
//   EFOpenError   'Cannot open file "%s". %s'
//   EFCreateError 'Cannot create file "%s". %s'
//   EWriteError   'Cannot write file "%s". %s'
//   EReadError    'Cannot read file "%s". %s'
// The text lives in one process-wide buffer, overwritten by the next file error.
Status RaiseFileError(ErrorKind kind, const char* path, uint32_t error);
