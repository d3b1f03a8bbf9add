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

// Whether a name from a cell names this computer: equal to the host name, or to its short form
// up to the first ".", letter case ignored (ASCII).
bool HostNameMatches(std::string_view cellName, std::string_view hostName);

// The host restriction at *text: 1 the row applies on the computer hostName (also when there is
// none), 0 it does not. *text is moved past the restriction.
int HostListMatch(const char** text, std::string_view hostName);
