#pragma once

#include <string>

// Checks and completes the archive name (public-folder prefix for a bare name, ".zip"
// suffix), then collects. Returns 0 saved, 1 rejected name or unwritable folder,
// 2 collection failed. archiveName holds the final name afterwards.
int saveDiagnostics(std::string& archiveName, bool forUpload);
