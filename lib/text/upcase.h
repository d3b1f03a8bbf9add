// The case map of names that Windows' file systems compare without regard to case.
#pragma once

#include "platform/win_types.h"

// The upper case of a UTF-16 unit by the simple mappings of the Basic Multilingual Plane; a
// character outside ASCII never becomes an ASCII one.
char16_t EncUpcase(char16_t c);
