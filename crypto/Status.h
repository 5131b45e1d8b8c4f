// Errors as values: what the stub and the portable core return instead of raising.
#pragma once

#include <stdint.h>

enum class ErrorKind : uint8_t {
  None,
  EFOpenError,       // a file could not be opened ('Cannot open file "%s". %s')
  EFCreateError,     // a file could not be created ('Cannot create file "%s". %s')
  EInOutError,       // a folder could not be created ("Unable to create directory")
  ECipherException,  // an encrypted body is too short for its layout ("Invalid file format")
  EWriteError,       // a stream stored fewer bytes than asked: a full disk or an I/O failure
  EReadError,        // a stream's size or bytes could not be read: an I/O failure
};

// The outcome of an operation that can fail. `message` points to static text or to a
// process-wide buffer of the layer that formatted it, valid until that layer raises again;
// `address` is the code address that raised the error, for the error report.
struct [[nodiscard]] Status {
  ErrorKind kind = ErrorKind::None;
  const char* message = "";
  const void* address = nullptr;

  constexpr bool Ok() const { return kind == ErrorKind::None; }
};

inline constexpr Status kOk{};

// Makes an error whose address is the caller's return address, that is the code that raised it.
[[gnu::noinline]] Status RaiseError(ErrorKind kind, const char* message);

// The error kind's name as reports show it ("ECipherException"); "" for None.
const char* ErrorKindName(ErrorKind kind);

inline constexpr char kInvalidFileFormat[] = "Invalid file format";
