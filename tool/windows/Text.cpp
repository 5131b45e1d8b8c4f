// Conversions between the command line's UTF-8 and the header's 8-bit ANSI code page on Windows:
// the code page's number, MultiByteToWideChar and WideCharToMultiByte. The names iconv takes on
// POSIX are accepted here too and mapped to their numbers.
#include <windows.h>
#undef RotateLeft32  // winnt.h's macro would rename the core's function of that name

#include <cstdlib>
#include <cstring>

#include "crypto/windows/Utf16.h"
#include "tool/Tool.h"

namespace {

// The digits that end `name` after `prefix`, or 0.
UINT NumberAfter(const std::string& name, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (name.compare(0, n, prefix) != 0 || name.size() == n || name.size() > n + 5) return 0;
  for (size_t i = n; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return 0;
  return UINT(std::atoi(name.c_str() + n));
}

// The code page a name means, 0 for none: CP1252, WINDOWS-1252, IBM437, ISO-8859-2 and the
// other names of iconv's that Windows has a number for.
UINT CodepageNumber(const std::string& codepage) {
  const std::string name = CodepageName(codepage);
  for (const char* prefix : {"CP", "WINDOWS-", "IBM", "MS"})
    if (const UINT n = NumberAfter(name, prefix)) return n;
  for (const char* prefix : {"ISO-8859-", "ISO8859-", "ISO_8859-"})
    if (const UINT n = NumberAfter(name, prefix); n >= 1 && n <= 16) return 28590 + n;
  static const struct {
    const char* name;
    UINT number;
  } kNamed[] = {{"US-ASCII", 20127},  {"ASCII", 20127},  {"KOI8-R", 20866}, {"KOI8-U", 21866},
                {"SHIFT_JIS", 932},   {"SJIS", 932},     {"GBK", 936},      {"GB2312", 936},
                {"BIG5", 950},        {"EUC-KR", 51949}, {"EUC-JP", 20932}, {"UTF-8", CP_UTF8},
                {"MACINTOSH", 10000}, {"LATIN1", 28591}, {"TIS-620", 874}};
  for (const auto& entry : kNamed)
    if (name == entry.name) return entry.number;
  return 0;
}

UINT RequireCodepage(const std::string& codepage) {
  const UINT number = CodepageNumber(codepage);
  if (number == 0 || !IsValidCodePage(number))
    throw ToolError(kExitUsage, "--codepage " + codepage + ": no such code page");
  return number;
}

std::wstring Widen(const std::string& bytes, UINT codepage) {
  if (bytes.empty()) return std::wstring();
  const int n = MultiByteToWideChar(codepage, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  std::wstring wide(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(codepage, 0, bytes.data(), int(bytes.size()), wide.data(), n);
  return wide;
}

}  // namespace

void CheckCodepage(const std::string& codepage) { RequireCodepage(codepage); }

std::optional<std::string> ToCodepage(const std::string& utf8, const std::string& codepage) {
  const UINT number = RequireCodepage(codepage);
  if (utf8.empty()) return std::string();
  const std::wstring wide = WideOf(utf8);
  if (wide.empty()) return std::nullopt;  // not UTF-8
  // No best fit ("ä" for "a"); a character the code page lacks becomes its default character,
  // which the way back then does not give the original: such a text is refused.
  const DWORD flags = number == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int n =
      WideCharToMultiByte(number, flags, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(number, flags, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
  if (Widen(out, number) != wide) return std::nullopt;
  return out;
}

std::string FromCodepage(const std::string& bytes, const std::string& codepage) {
  // Without MB_ERR_INVALID_CHARS a byte the code page leaves undefined reads as the Unicode
  // character of the same number, as on POSIX.
  return Utf8Of(Widen(bytes, RequireCodepage(codepage)));
}
