#include "Status.h"

Status RaiseError(ErrorKind kind, const char* message) {
  return Status{kind, message, __builtin_return_address(0)};
}

const char* ErrorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::None: return "";
    case ErrorKind::EFOpenError: return "EFOpenError";
    case ErrorKind::EFCreateError: return "EFCreateError";
    case ErrorKind::EInOutError: return "EInOutError";
    case ErrorKind::ECipherException: return "ECipherException";
    case ErrorKind::EWriteError: return "EWriteError";
    case ErrorKind::EReadError: return "EReadError";
  }
  return "Exception";
}
