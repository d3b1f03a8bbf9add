// The printf-style engine: output through a sink, bounded sprintf, file print.
#pragma once

#include "platform/win_types.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

// Receives count characters of output; returns false to stop.
using FmtSinkFn = bool (*)(void* context, const char* text, std::size_t count);

// Conversions d i u x X o c s p %, flags - + blank 0 #, width and precision (also "*"),
// length modifiers hh h l ll z j t. Returns the number of characters produced.
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
