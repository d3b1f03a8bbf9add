// The help pages stored in the program.
#pragma once

#include <string_view>

// The HTML (UTF-8) of the named page ("*Help.html" or "Help.html"), or null when there is none.
const char* FindHelpPage(std::string_view name);
