// Whether two folders are one, or one lies inside the other.
#pragma once

// Whether two folders are the same or one lies inside the other, after links and "." and ".."
// are resolved; a missing folder counts by its nearest existing parent and the names below it.
bool LocalFoldersOverlap(const char* a, const char* b);
