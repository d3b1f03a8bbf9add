// Shared helpers of the registry tests: a private store per run and UTF-16 files.
#pragma once

#include "tests/support/child.h"
#include "tests/support/files.h"

#include <string>

using kpwtest::ReadFile;
using kpwtest::RunChild;
using kpwtest::StartChild;
using kpwtest::WaitChild;
using kpwtest::WriteFile;

// The run's temporary folder; XDG_CONFIG_HOME, XDG_DATA_HOME and the machine hive lie below it.
const std::string& TestRoot();

// UTF-8 text to UTF-16LE bytes with the byte-order mark, and back (iconv reads and writes them).
std::string Utf16File(const std::string& utf8);
std::string FromUtf16File(const std::string& bytes);
