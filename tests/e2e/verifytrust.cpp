// Prints what Windows (here Wine) says of each file's Authenticode signature, one line per file:
// the HRESULT of WinVerifyTrust in hex, its name and its meaning (trust.h says how it asks).
//
//   zqv_e2e_verifytrust.exe FILE...
//
// It judges nothing; the harness's "trust" step checks an answer. Exit code 0, 2 without files.
#include <cstdio>

#include "trust.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zqv_e2e_verifytrust FILE...\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const LONG result = trust::VerifyFile(argv[i]);
    const trust::Answer* a = trust::Describe(result);
    std::printf("%s: 0x%08lX %s (%s)\n", argv[i], static_cast<unsigned long>(result), a ? a->name : "?",
                a ? a->meaning : "not in this program's table");
  }
  return 0;
}
