// Notes a worker leaves for the row: what it left alone and why, with the names concerned.
#pragma once

#include <string>
#include <vector>

class CRunState;

// A head line and the names below it, ten at most and then how many more.
std::string NoteWithNames(const std::string& head, const std::vector<std::string>& names);

// Links to folders that nothing was written into or deleted beneath.
void NoteFolderLinks(CRunState& run, const std::vector<std::string>& links);
// Surplus folders of "Copy Del" that stayed because they still hold files or are guarded.
void NoteKeptFolders(CRunState& run, const std::vector<std::string>& folders);
