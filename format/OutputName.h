// Where a stored output name may be written: one rule for zqv, the stub and the web page.
// An archive comes from whoever sent it; its output name must not reach outside the
// destination folder, nor name a device or a file Windows would store under another name.
#pragma once

#include <stdint.h>

enum OutputNameFault : uint8_t {
  kNameSafe = 0,
  kNameEmpty,       // no text, or nothing but separators and "." parts
  kNameAbsolute,    // starts with a backslash or slash
  kNameDrive,       // holds a colon: a drive ("C:") or a stream ("a.txt:x")
  kNameClimbs,      // a ".." part would leave the destination
  kNameDevice,      // a part is a device: CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any extension
  kNameCharacter,   // a control character or one of < > " | ? *
};

// The stored `name` (`length` bytes of the archive's code page) as a relative path below the
// destination, its folders joined by `separator`, written to `path` (room for length + 1
// bytes). Backslashes and slashes both separate folders; empty and "." parts drop out; ".."
// removes the folder before it; trailing dots and spaces of each part are dropped, as Windows
// drops them. Returns the fault that refuses the name, or kNameSafe; a name that reaches outside
// the destination or names a device is refused as that before kNameCharacter and kNameEmpty,
// the faults a file system refuses by itself.
OutputNameFault MakeOutputPath(const char* name, int length, char separator, char* path);

// What is wrong with such a name, as a phrase: "climbs out of the destination folder".
const char* OutputNameFaultText(OutputNameFault fault);
