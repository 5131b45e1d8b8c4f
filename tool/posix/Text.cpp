// Conversions between the command line's UTF-8 and the header's 8-bit ANSI code page, by iconv.
#include <errno.h>
#include <iconv.h>

#include "tool/Tool.h"

namespace {

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())), error_(errno) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  int error() const { return error_; }
  // Converts as much as it can; stops at the first byte it cannot convert and returns how many
  // input bytes it consumed.
  size_t Convert(const std::string& in, size_t from, std::string& out) {
    char* inPtr = const_cast<char*>(in.data()) + from;
    size_t inLeft = in.size() - from;
    while (inLeft > 0) {
      char buffer[1024];
      char* outPtr = buffer;
      size_t outLeft = sizeof buffer;
      const size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
      out.append(buffer, static_cast<size_t>(outPtr - buffer));
      if (r == static_cast<size_t>(-1) && errno != E2BIG) break;
    }
    // Finish any shift state (none for the single-byte pages, but harmless).
    char buffer[64];
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    return in.size() - inLeft;
  }

 private:
  iconv_t cd_;
  int error_;  // iconv_open's errno
};

// The default code page, which every system with iconv has.
constexpr char kDefaultCodepage[] = "WINDOWS-1252";

// glibc's iconv_open answers EINVAL both for a code page it does not know and for one whose
// conversion module it could not load (no memory, no descriptors, an unreadable file), so the
// failure is the system's when the default code page fails too, or was the one asked for.
[[noreturn]] void FailConversionData(const std::string& codepage, int error) {
  throw ToolError(kExitError, "code page " + codepage + ": the system's conversion data (iconv's modules) could not be loaded" +
                                  (error != EINVAL && error != 0 ? ": " + SystemText(error) : std::string()));
}

// A converter that works, or a ToolError naming the system's failure: for code pages that
// CheckCodepage accepted, a later failure is never the code page's.
Converter& Require(Converter& c, const std::string& codepage) {
  if (!c.ok()) FailConversionData(CodepageName(codepage), c.error());
  return c;
}

}  // namespace

void CheckCodepage(const std::string& codepage) {
  const std::string name = CodepageName(codepage);
  Converter c(name, "UTF-8");
  if (c.ok()) return;
  if (c.error() != EINVAL || name == kDefaultCodepage || !Converter(kDefaultCodepage, "UTF-8").ok())
    FailConversionData(name, c.error());
  throw ToolError(kExitUsage, "--codepage " + codepage + ": no such code page");
}

std::optional<std::string> ToCodepage(const std::string& utf8, const std::string& codepage) {
  Converter c(CodepageName(codepage), "UTF-8");
  std::string out;
  if (Require(c, codepage).Convert(utf8, 0, out) != utf8.size()) return std::nullopt;
  return out;
}

std::string FromCodepage(const std::string& bytes, const std::string& codepage) {
  Converter c("UTF-8", CodepageName(codepage));
  Require(c, codepage);
  std::string out;
  size_t at = 0;
  while (at < bytes.size()) {
    at = c.Convert(bytes, at, out);
    if (at >= bytes.size()) break;
    // An undefined byte: the Unicode character of the same number, in UTF-8.
    const unsigned char b = static_cast<unsigned char>(bytes[at++]);
    if (b < 0x80) {
      out += char(b);
    } else {
      out += char(0xC0 | (b >> 6));
      out += char(0x80 | (b & 0x3F));
    }
  }
  return out;
}
