// Fuzz target: `zqv info` and `zqv info --json` on an archive whose header and body are the
// input, read through the same code as the tool. Refusals are ToolErrors; anything else that
// escapes, and every sanitizer report, is a finding.
#include "FuzzArchive.h"
#include "tool/Tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string archive = [] {
    fuzz::SilenceStdout();
    return fuzz::MakeWorkFolder("fuzz_info") + "/archive.exe";
  }();
  fuzz::WriteArchive("fuzz_info", archive, data, size);
  for (const bool json : {false, true}) {
    OpenOptions options;
    options.archive = archive;
    options.json = json;
    try {
      if (RunInfo(options) != kExitOk) fuzz::Abort("fuzz_info", "info returned an exit code without an error");
    } catch (const ToolError&) {
    }
  }
  return 0;
}
