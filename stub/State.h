// The stub's process-wide state: set up at start-up, filled by the dialogs and read by the
// extraction driver and the launcher. Plain data only, so nothing runs before the entry point.
#pragma once

#include <windows.h>

#include "format/Archive.h"

// The archive header, loaded once at start-up from the stub's own executable.
extern ArchiveHeader gHeader;
// The running program's own executable, as GetModuleFileNameA reports it.
extern char gModulePath[MAX_PATH];
extern HINSTANCE gInstance;
// The temporary folder, always ending in a backslash.
extern char gTempFolder[257];
// 0 overwrite, 1 skip, 2 confirm; any other value leaves an existing output file to be replaced.
extern uint8_t gOverwriteMode;
// The destination folder chosen in the main dialog: at most 259 characters and a zero.
extern char gDestinationDir[261];
// What the password prompt read (at most 79 characters), and the copy the keys are made from.
extern char gPassword[kMaxPasswordLength + 1];
extern char gPasswordText[kMaxPasswordLength + 1];
extern ArchiveKeys gKeys;

// How far an extraction has got, written by the thread that decrypts and read by the main
// dialog, which shows it; and its request to stop. Each field is one aligned 32-bit word, so a
// reader on another thread sees either the old or the new value, never half of one.
struct ExtractionProgress {
  uint32_t doneKiB;   // the body read so far
  uint32_t totalKiB;  // the whole body
  uint32_t stop;      // set by Cancel: the extraction ends at its next read of the body
};
extern ExtractionProgress gProgress;

// Ends the process with what the run came to: exit code 0 when `outcome` is Ok; otherwise the
// error is shown in the "Application Error" box and the exit code is 1.
[[noreturn]] void EndRun(const Status& outcome);

// Every message box of the stub is captioned so.
inline constexpr char kMessageCaption[] = "Kestrix";
