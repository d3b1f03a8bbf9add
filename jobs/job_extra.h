// The head of the extra-settings cell: host restriction, existing-target sign, excluded folders.
#pragma once

#include "jobs/job_model.h"

#include <string>
#include <string_view>
#include <vector>

// Length of a host restriction "*[" name at the start of text: the name runs to the first ";" or
// "]" or the end, then one "]" and after it one ";" are taken too. 0 when text does not begin
// with "*[". The name goes into *host when given.
std::size_t ExtraHostSpan(std::string_view text, std::string* host = nullptr);
// Length of the existing-target sign at the start of text: "*" alone (1) or "*;" (2), else 0.
std::size_t ExtraTargetSignSpan(std::string_view text);
// The excluded folders of a ";"-separated list: a leading "/" or "\" dropped, blanks, tabs and
// line breaks cut at the end, separators turned into "/", ASCII letters into lower case; empty
// items left out.
void ExtraExcludedFolders(std::string_view list, std::vector<std::string>& out);
// The whole head: host restriction, then the target sign, then the excluded folders, which run
// to the end of the cell. restOffset is where the list after the sign begins (modes with a list
// of their own read it from there).
JobExtraHead ExtraHeadParse(std::string_view cell);

// ---- writing a cell the workers read back

// The forms of the head that a cell can be written in.
enum ExtraWhen : int {
  EXTRA_WHEN_ALWAYS = 0,         // nothing
  EXTRA_WHEN_TARGET_EXISTS = 1,  // the existing-target sign "*"
  EXTRA_WHEN_HOST = 2,           // the host restriction "*[" host "]"
};
// Items joined by ";", empty ones left out.
std::string ExtraListFormat(const std::vector<std::string>& items);
// The head in one of its forms, then the folders, each behind ";" except a first one that nothing
// stands before. Such a first folder keeps its ";" when it would read as a head itself ("*" or
// "*[..."), so that ExtraHeadParse gives back a folder.
std::string ExtraHeadFormat(int when, std::string_view host, const std::vector<std::string>& folders);

// Whether a name from a cell names this computer: equal to the host name, or to its short form
// up to the first ".", letter case ignored (ASCII).
bool HostNameMatches(std::string_view cellName, std::string_view hostName);

// The host restriction at *text: 1 the row applies on the computer hostName (also when there is
// none), 0 it does not. *text is moved past the restriction.
int HostListMatch(const char** text, std::string_view hostName);
