#pragma once
// The usage text ktdiag prints, from the golden file of this folder (GOLDEN_DIR), with the
// default output folder filled in.

#include "ktTest/tempTree.h"

#include <filesystem>
#include <string>

namespace ktTest {

// publicFolder: the public folder the run sees; the text names its canonical form.
inline std::string expectedUsage(const std::string& publicFolder)
{
    std::string text = readAll(GOLDEN_DIR "/usage.txt");
    const std::string placeholder = "@DEFAULT_FOLDER@";
    const std::string folder = std::filesystem::canonical(publicFolder).generic_string();
    for (auto at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + folder.size())) {
        text.replace(at, placeholder.size(), folder);
    }
    return text;
}

} // namespace ktTest
