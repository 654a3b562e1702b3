#pragma once
#include <string>

#include <wx/string.h>

// The program's 8-bit texts as the toolkit shows them, and back. They are
// UTF-8 on Linux and in the ANSI code page on Windows, both in the literals
// of the sources (as compiled) and in the files the program reads; the
// conversion lives in the file of the platform CMake chooses.
wxString U8(const char* text);
wxString U8(const std::string& text);
std::string ToU8(const wxString& text);
