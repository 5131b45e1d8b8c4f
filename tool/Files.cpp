// Files for zqv, the rules every system shares: errors, temporary names, output names, the stub.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "Tool.h"
#include "format/OutputName.h"

[[noreturn]] void Fail(const std::string& file, const std::string& cause, int code) {
  throw ToolError(code, file + ": " + cause);
}

[[noreturn]] void FailStatus(const Status& status, const std::string& file) {
  const std::string message = status.message;
  // The file layer's open and create errors already name their file.
  if (message.find("\"" + file + "\"") != std::string::npos) throw ToolError(kExitError, message);
  Fail(file, message);
}

bool IsTempName(const char* name) {
  const size_t prefix = sizeof kTempPrefix - 1;
  if (std::strncmp(name, kTempPrefix, prefix) != 0 || std::strlen(name) != prefix + 8) return false;
  for (const char* p = name + prefix; *p; ++p)
    if (!std::isdigit(static_cast<unsigned char>(*p)) && (*p < 'a' || *p > 'f')) return false;
  return true;
}

void ReportRemovedTemporary(const std::string& folder, const char* name, int64_t size) {
  std::fprintf(stderr, "zqv: removed %s (%lld bytes), a temporary file left by a zqv run that was stopped\n",
               JoinPath(folder, name).c_str(), (long long)size);
}

// ---- Output names ---------------------------------------------------------------------------------

std::optional<std::vector<std::string>> SafeRelativePath(const std::string& name, std::string& why) {
  std::string path(name.size() + 1, '\0');
  const OutputNameFault fault = MakeOutputPath(name.data(), int(name.size()), '/', path.data());
  if (fault != kNameSafe) {
    why = "the output name \"" + name + "\" " + OutputNameFaultText(fault);
    return std::nullopt;
  }
  path.resize(std::strlen(path.c_str()));
  std::vector<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// ---- The stub ---------------------------------------------------------------------------------------

std::optional<std::string> FindStub(const std::string& given, std::string* where) {
  auto found = [&](std::string path, const std::string& how) {
    if (where) *where = how;
    return std::optional<std::string>(std::move(path));
  };
  if (!given.empty()) return found(given, "--stub");
  if (const auto env = EnvironmentValue("ZQV_STUB")) return found(*env, "$ZQV_STUB");
  for (auto& [path, how] : StubPlaces())
    if (LookAt(path).regular) return found(path, how);
  return std::nullopt;
}

std::string ResolveStub(const std::string& given) {
  if (auto stub = FindStub(given, nullptr)) return *stub;
  throw ToolError(kExitError,
                  "stub: no zqvsfx.exe found (install zqv, build the stub with `cmake --preset stub && "
                  "cmake --build --preset stub`, or give --stub FILE or ZQV_STUB)");
}
