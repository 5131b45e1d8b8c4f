// zqv: makes, inspects, tests and extracts ZQV self-extractors on the command line.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tool.h"
#include "crypto/KxCpu.h"

namespace {

constexpr const char* kCodepageHelp = "ANSI code page of the archive's texts and password (iconv name)";

void AddPasswordFile(CLI::App* command, std::string& file) {
  command->add_option("--password-file", file, "read the password from the first line of FILE (- for stdin)")
      ->type_name("FILE");
}

void AddSync(CLI::App* command, bool& sync) {
  command->add_flag("--sync", sync,
                    "flush the output to disk before ending, also when no file of its name existed");
}

// The version and the stub a build would copy, so that a user sees which one is found.
std::string VersionText() {
  std::string text = "zqv " ZQV_VERSION "\n";
  std::string where;
  const auto stub = FindStub("", &where);
  if (!stub) return text + "stub: none found (give --stub FILE or set ZQV_STUB)";
  const PathFacts facts = LookAt(*stub);
  if (facts.error != 0) return text + "stub: " + *stub + " (from " + where + "): " + SystemText(facts.error);
  return text + "stub: " + *stub + " (" + where + ", " + std::to_string(facts.size) + " bytes)";
}

}  // namespace

int main(int argc, char** argv) {
  // The arguments in UTF-8 whatever the system hands over; CLI11 and the commands take them so.
  std::vector<std::string> arguments = StartProgram(argc, argv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  argc = int(pointers.size());
  pointers.push_back(nullptr);
  argv = pointers.data();
  // ZQV_CPU narrows the instruction sets the core may use ("portable" forces its fallback).
  if (uint32_t allowed; ParseCpuLimit(std::getenv("ZQV_CPU"), allowed)) {
    LimitCpuFeatures(allowed);
  } else {
    std::fprintf(stderr, "zqv: ZQV_CPU=%s: not native, portable, or a list of aesni, shani, sse2, avx2 and avx512\n",
                 std::getenv("ZQV_CPU"));
    return kExitUsage;
  }
  LendHelperThread();
  CLI::App app{"zqv " ZQV_VERSION ": make, inspect, test and extract ZQV self-extractors", "zqv"};
  app.set_version_flag("--version", VersionText, "show the version and the stub `zqv build` would use");
  app.require_subcommand(1, 1);
  // GNU-style options everywhere: on Windows too an argument that starts with "/" is a path.
  app.allow_windows_style_options(false);
  app.footer(
      "Exit codes: 0 success, 1 error, 2 usage, 3 wrong password.\nRun `zqv COMMAND --help` for a command's "
      "options.");

  BuildOptions b;
  auto* build =
      app.add_subcommand("build", "make a self-extractor from INPUT: stub, archive header, encrypted body");
  build->add_option("INPUT", b.input, "the file to carry")->required();
  build->add_option("-o,--output", b.output, "the self-extractor to write")->required()->type_name("OUTPUT");
  build
      ->add_option("--stub", b.stub,
                   "the stub to copy (default: $ZQV_STUB, else the built or installed zqvsfx.exe)")
      ->type_name("STUB");
  build->add_option("--cipher", b.cipher, "blowfish, des, 3des, aes128 or aes256")
      ->check(CLI::IsMember({"blowfish", "des", "3des", "aes128", "aes256"}))
      ->capture_default_str();
  build->add_option("--name", b.name, "output file name stored in the archive (default: INPUT's base name)");
  auto* dest = build->add_option("--dest", b.dest, "destination folder offered by the self-extractor")
                   ->type_name("DIR");
  auto* destTemp = build->add_flag("--dest-temp", b.destTemp, "extract into the user's temporary folder");
  auto* destCurrent =
      build->add_flag("--dest-current", b.destCurrent, "extract into the current folder (the default)");
  dest->excludes(destTemp)->excludes(destCurrent);
  destTemp->excludes(destCurrent);
  build->add_option("--mode", b.mode, "default overwrite mode: overwrite, skip or confirm")
      ->check(CLI::IsMember({"overwrite", "skip", "confirm"}))
      ->capture_default_str();
  build->add_option("--title", b.title, "window title (default: Kestrix ZQV SFX)")->type_name("TEXT");
  build->add_option("--run-after", b.runAfter, "a file to open, or an .INF to install, after extraction")
      ->type_name("FILE");
  build->add_flag("--hide-mode", b.hideMode, "hide the overwrite options in the self-extractor's dialog");
  build->add_flag("--auto-start", b.autoStart, "start extracting as soon as the self-extractor opens");
  build->add_option("--seed", b.seed,
                    "milliseconds every clock reading of the chaining block takes (default: the clock's), "
                    "so that the same inputs make the same archive")
      ->type_name("MS");
  AddSync(build, b.sync);
  AddPasswordFile(build, b.passwordFile);
  build->add_option("--codepage", b.codepage, kCodepageHelp)->capture_default_str();

  OpenOptions info, test, extract;
  auto* infoCmd = app.add_subcommand("info", "show the archive header of ARCHIVE");
  infoCmd->add_option("ARCHIVE", info.archive, "the self-extractor")->required();
  infoCmd->add_flag("--json", info.json, "print the fields as one JSON object");
  infoCmd->add_option("--codepage", info.codepage, kCodepageHelp)->capture_default_str();

  auto* testCmd = app.add_subcommand("test", "decrypt ARCHIVE and check its digest, writing nothing");
  testCmd->add_option("ARCHIVE", test.archive, "the self-extractor")->required();
  AddPasswordFile(testCmd, test.passwordFile);
  testCmd->add_flag("-q,--quiet", test.quiet, "no progress bar and no summary");
  testCmd->add_option("--codepage", test.codepage, kCodepageHelp)->capture_default_str();

  auto* extractCmd =
      app.add_subcommand("extract", "extract ARCHIVE's file into DIR, kept only when its digest matches");
  extractCmd->add_option("ARCHIVE", extract.archive, "the self-extractor")->required();
  extractCmd
      ->add_option("-C,--directory", extract.directory, "extract into DIR (default: the current folder)")
      ->type_name("DIR");
  bool overwrite = false, skip = false, confirm = false;
  auto* ow = extractCmd->add_flag("--overwrite", overwrite, "replace an existing file");
  auto* sk = extractCmd->add_flag("--skip", skip, "keep an existing file and extract nothing");
  auto* co = extractCmd->add_flag("--confirm", confirm, "ask before replacing a file (needs a terminal)");
  ow->excludes(sk)->excludes(co);
  sk->excludes(co);
  AddSync(extractCmd, extract.sync);
  AddPasswordFile(extractCmd, extract.passwordFile);
  extractCmd->add_flag("-q,--quiet", extract.quiet, "no progress bar and no summary");
  extractCmd->add_option("--codepage", extract.codepage, kCodepageHelp)->capture_default_str();

  if (argc > 1 && argv[1][0] != '-') {
    const std::string command = argv[1];
    if (command != "build" && command != "info" && command != "test" && command != "extract") {
      std::fprintf(stderr,
                   "zqv: unknown command '%s' (commands: build, info, test, extract; see zqv --help)\n",
                   argv[1]);
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::fprintf(stderr, "zqv: %s (see zqv --help)\n", e.what());
    return kExitUsage;
  }

  int code = kExitError;
  try {
    if (overwrite) extract.overwrite = 0;
    if (skip) extract.overwrite = 1;
    if (confirm) extract.overwrite = 2;
    code = *build ? RunBuild(b) : *infoCmd ? RunInfo(info) : *testCmd ? RunTest(test) : RunExtract(extract);
  } catch (const ToolError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "zqv: %s\n", e.what());
    code = e.code();
  } catch (const std::bad_alloc&) {
    // The stack is unwound by now, so the temporary file is gone too.
    std::fprintf(stderr, "zqv: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zqv: %s\n", e.what());
  }
  // What info and test print is their result: output that could not be written is a failure.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // The C library's own error code, which on every system is errno's.
    std::fprintf(stderr, "zqv: standard output: %s\n", std::strerror(errno != 0 ? errno : EIO));
    if (code == kExitOk) code = kExitError;
  }
  return code;
}
