// UTF-8 and UTF-16 for the Win32 wide calls: zqv keeps every text in UTF-8 and converts at the
// system's edge.
#pragma once

#include <string>

// Nothing for a text that is not UTF-8 (or not UTF-16) throughout: no name is ever guessed.
std::wstring WideOf(const std::string& utf8);
std::string Utf8Of(const std::wstring& wide);
std::string Utf8Of(const wchar_t* wide, int length);
