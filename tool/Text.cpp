// The code page's name as every system spells it in messages.
#include <cctype>

#include "Tool.h"

std::string CodepageName(const std::string& codepage) {
  std::string upper;
  for (char c : codepage) upper += char(std::toupper(static_cast<unsigned char>(c)));
  if (!upper.empty() && std::isdigit(static_cast<unsigned char>(upper[0]))) return "CP" + upper;
  return upper;
}
