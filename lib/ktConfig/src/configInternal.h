#pragma once
// The library's own helpers, shared by its files and reached by its tests; not for callers.

#include <string>

// Stands for SHCreateDirectoryExW, whose result the callers do not examine: every missing
// level is made as the calling thread's user; an existing folder is fine, a relative path is
// refused, and any failure is only logged.
void createFolder(const std::wstring& folder);
