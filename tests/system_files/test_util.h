// Helpers of the file tests: a temporary folder per test and small file utilities.
#pragma once

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <string>

#include <gtest/gtest.h>

using kpwtest::Exists;
using kpwtest::TempDir;

inline void WriteText(const std::string& path, const std::string& text) { kpwtest::WriteFile(path, text); }

inline std::string ReadText(const std::string& path) { return kpwtest::ReadFile(path); }

// Number of names in a folder (without "." and "..").
int CountEntries(const std::string& dir);
