// What follows a verified extraction: the header's run-after command is opened with the shell,
// or installed with the system's INF installer when it names an .INF file.
#pragma once

#include <windows.h>

// Starts the run-after command when it is longer than 4 characters; reports nothing.
void LaunchRunAfter();
// True when `path` ends in ".INF" in any letter case; `path` itself is not changed.
bool IsInfFile(const char* path);
// Runs the INF installer of the platform on `infPath`, with the section suffix ".ntx86" or none
// (any other suffix counts as none). Returns WinExec's result, 0 when nothing was run.
UINT InstallInf(const char* infPath, const char* sectionSuffix);
