// The program's version block: the compiled-in project version.
//
// Usage: QString::fromStdString(VersionBlockText(ZELVORA_VERSION)) gives "0,1,0,0" for "0.1.0";
// the about box shows it as "Product Version : %s" and "Program Version : %s".
#pragma once

#include <string>

// "%u,%u,%u,%u" from a dotted version (missing parts are 0; a part above 65535 reads 65535).
// Empty when `dotted` is null, empty or not made of numbers and dots.
std::string VersionBlockText(const char* dotted);
