#pragma once

// A private temporary folder for the whole run, removed when the program ends.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

namespace quorvale::fuzz {

inline const std::filesystem::path &scratchDirectory()
{
    struct Folder
    {
        std::filesystem::path path;
        Folder()
        {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "qv-fuzz-XXXXXX").string();
            if (!::mkdtemp(pattern.data()))
                std::abort();
            path = pattern;
        }
        ~Folder()
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder;
    return folder.path;
}

} // namespace quorvale::fuzz
