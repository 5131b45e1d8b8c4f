#include "OutputName.h"

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool SameText(const char* a, int length, const char* b) {
  for (int i = 0; i < length; ++i)
    if (!b[i] || Upper(a[i]) != b[i]) return false;
  return b[length] == 0;
}

// Windows opens a device for these names in any folder, with any extension and trailing
// spaces before it: "nul.txt" and "COM1 .log" are devices too.
bool IsDeviceName(const char* part, int length) {
  int stem = 0;
  while (stem < length && part[stem] != '.') ++stem;
  while (stem > 0 && part[stem - 1] == ' ') --stem;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices)
    if (SameText(part, stem, device)) return true;
  return stem == 4 && (SameText(part, 3, "COM") || SameText(part, 3, "LPT")) && part[3] >= '1' &&
         part[3] <= '9';
}

bool IsForbiddenCharacter(uint8_t c) {
  return c < 32 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*';
}

}  // namespace

OutputNameFault MakeOutputPath(const char* name, int length, char separator, char* path) {
  int out = 0;
  path[0] = 0;
  if (length > 0 && (name[0] == '\\' || name[0] == '/')) return kNameAbsolute;
  bool forbidden = false;
  for (int i = 0; i < length; ++i) {
    if (name[i] == ':') return kNameDrive;
    forbidden = forbidden || IsForbiddenCharacter(uint8_t(name[i]));
  }
  for (int start = 0; start <= length;) {
    int end = start;
    while (end < length && name[end] != '\\' && name[end] != '/') ++end;
    const char* part = name + start;
    int size = end - start;
    start = end + 1;
    if (size == 2 && part[0] == '.' && part[1] == '.') {
      if (out == 0) return kNameClimbs;
      while (out > 0 && path[out - 1] != separator) --out;
      if (out > 0) --out;  // the separator before the removed folder
      continue;
    }
    while (size > 0 && (part[size - 1] == '.' || part[size - 1] == ' ')) --size;
    if (size == 0) continue;
    if (IsDeviceName(part, size)) return kNameDevice;
    if (out > 0) path[out++] = separator;
    for (int k = 0; k < size; ++k) path[out++] = part[k];
  }
  path[out] = 0;
  // Checked last: a name with such a character fails to be created anyway, but one that also
  // leaves the destination must be refused as that.
  if (forbidden) return kNameCharacter;
  return out == 0 ? kNameEmpty : kNameSafe;
}

const char* OutputNameFaultText(OutputNameFault fault) {
  switch (fault) {
    case kNameSafe: return "is safe";
    case kNameEmpty: return "names no file";
    case kNameAbsolute: return "is an absolute path";
    case kNameDrive: return "holds a colon (a drive or a stream)";
    case kNameClimbs: return "climbs out of the destination folder";
    case kNameDevice: return "names a device";
    case kNameCharacter: return "holds a character file names cannot hold";
  }
  return "is not a file name";
}
