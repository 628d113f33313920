// dj-mixora-tags FILE...
// Prints what the library import would store for each file, as name=value lines: the
// file, the tags it carries, then "Interpret", "Titel", "Jahr" and "Genre" as the import
// takes them (ID3v2, then APE, then ID3v1, field by field). A blank line separates files.
// For users who see a title that looks wrong.
// Exit status: 0 every file read, 1 a file could not be opened, 2 no file given.
#include "library/SongTags.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        std::cerr << "usage: dj-mixora-tags FILE...\n";
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            std::cout << '\n';
        std::cout << "file=" << argv[i] << '\n';
        const int fd = ::open(argv[i], O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            const std::string reason = std::strerror(errno);
            std::cout << "error=" << reason << '\n';
            std::cerr << argv[i] << ": " << reason << '\n';
            status = 1;
            continue;
        }
        const auto tags = mixora::fitToFields(mixora::readSongTags(fd));
        ::close(fd);
        std::string carried;
        for (auto [has, name] : {std::pair{tags.id3v2, "ID3v2"}, {tags.ape, "APE"}, {tags.id3v1, "ID3v1"}})
            if (has)
                carried += carried.empty() ? name : std::string(" ") + name;
        std::cout << "tags=" << carried << '\n'
                  << "Interpret=" << tags.artist << '\n'
                  << "Titel=" << tags.title << '\n'
                  << "Jahr=" << tags.year << '\n'
                  << "Genre=" << tags.genre << '\n';
    }
    return status;
}
