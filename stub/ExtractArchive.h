// One extraction attempt: output path, folders, overwrite mode, password, keys, decryption into
// a temporary file, digest check, and the verified file moved into place.
#pragma once

#include "crypto/Status.h"

// Runs one attempt with the destination directory buffer and the overwrite mode as the main
// dialog left them. `verified` is true when the output file was written and its digest line
// equals the header's. A wrong password (any digest mismatch) shows "Wrong password." and
// leaves verified false with an OK status; an existing output file is then untouched, and so
// it is when the user cancels the decryption (no message then). Skip, or
// No to the overwrite question, ends the process with exit code 0. Any other failure is
// returned for the top-level report, after the temporary file has been removed.
Status ExtractArchive(bool& verified);

// The longest output path: a destination of 259 characters, a backslash, a name of 255.
inline constexpr int kOutputPathCapacity = 259 + 1 + 255 + 1;
