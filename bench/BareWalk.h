// The file-system work no import can avoid, as the baseline an import is measured against.
#pragma once

#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace mixora::bench {

// Lists every folder below path (which ends in '/') and opens each regular file in it;
// readFile(fd) does the reading an import must do. Counts the files it returned true for.
template <class ReadFile> long bareWalk(const std::string &path, ReadFile &&readFile) {
    long files = 0;
    DIR *d = ::opendir(path.c_str());
    if (d == nullptr)
        return 0;
    std::vector<std::string> folders;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string full = path + e->d_name;
        if (e->d_type == DT_DIR) {
            folders.push_back(full + "/");
        } else if (e->d_type == DT_REG) {
            const int fd = ::open(full.c_str(), O_RDONLY);
            if (fd < 0)
                continue;
            if (readFile(fd))
                ++files;
            ::close(fd);
        }
    }
    ::closedir(d);
    for (const auto &f : folders)
        files += bareWalk(f, readFile);
    return files;
}

} // namespace mixora::bench
