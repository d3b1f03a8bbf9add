// The printf-style engine: output through a sink, bounded sprintf, file print.
#pragma once

#include "platform/win_types.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

// Receives count characters of output; returns false to stop (it is not called again).
using FmtSinkFn = bool (*)(void* context, const char* text, std::size_t count);

// Conversions d i u x X o c s p %, flags - + blank 0 #, width and precision (also "*"),
// length modifiers hh h l ll z j t, as the C library does them, with these differences:
// - "%.Ns" never cuts inside a UTF-8 sequence and reads no further than N bytes; a null "%s"
//   prints "(null)"; "%ls" and "%lc" take wide (UTF-32) text and write UTF-8.
// - "%p" of a null pointer prints "(nil)"; width and precision count bytes.
// - f F e E g G a A (and L) are there so that their arguments are consumed; "%#g" keeps no zeros.
// - An unknown conversion prints its "%" and goes on behind it; "%n" is not supported.
// Returns the number of characters produced (including those after a sink said stop), -1 above
// INT_MAX.
int FmtOutputA(FmtSinkFn sink, void* context, const char* format, va_list args);

// Bounded: writes at most size - 1 characters and a NUL (never cutting a UTF-8 sequence);
// returns the length the whole output would have.
int FmtSnprintfA(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int FmtVsnprintfA(char* buffer, std::size_t size, const char* format, va_list args);

// The classic call shape, bounded by the array it writes into.
template <std::size_t N, typename... Args>
int FmtSprintfA(char (&buffer)[N], const char* format, Args... args) {
  return FmtSnprintfA(buffer, N, format, args...);
}

int FmtFprintfA(std::FILE* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formats into a std::string.
std::string FmtString(const char* format, ...) __attribute__((format(printf, 1, 2)));
