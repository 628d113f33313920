// The settings file ("kelox.ini") with the semantics of the Windows profile functions:
// sections and keys are matched without regard to case (umlauts too), every write
// reaches the disk at once, comments, unknown entries and lines we cannot parse stay as
// they are. On disk the file is Windows-1252; a line Windows-1252 cannot hold is kept as
// UTF-8 (see util/LineFile.h). Every call reads the file afresh, so two objects on the
// same file never disagree.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace mixora::settings {

// A settings file that cannot be read or written; what() says which and why (German, for
// the user).
class IniError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IniFile {
public:
    explicit IniFile(std::filesystem::path file);

    const std::filesystem::path &fileName() const { return file_; }
    bool exists() const;

    // The value of key in section, or defaultValue when the file, the section or the key is
    // missing. Blanks around the value are dropped, and one pair of matching quotes around
    // it. A file that exists but cannot be read throws IniError.
    std::string readString(std::string_view section, std::string_view key,
                           std::string_view defaultValue = {}) const;
    // Writes key=value into section (created at the end of the file when missing; the
    // key at the end of its section when missing). Creates the file when missing. Throws
    // IniError when the file cannot be written; the old file is then left as it was.
    void writeString(std::string_view section, std::string_view key, std::string_view value);
    // Removes a key; nothing happens when it is not there.
    void deleteKey(std::string_view section, std::string_view key);
    // Removes a section with all its lines.
    void eraseSection(std::string_view section);

    bool sectionExists(std::string_view section) const;
    bool valueExists(std::string_view section, std::string_view key) const;
    // Section names in file order, and the key names of one section in file order.
    std::vector<std::string> readSections() const;
    std::vector<std::string> readSection(std::string_view section) const;

private:
    struct Line {
        std::string raw;  // bytes as on disk, kept for lines we do not change
        std::string text; // UTF-8
        bool changed = false;
    };
    struct Document {
        std::vector<Line> lines;
        std::string lineEnd = "\r\n";
    };
    Document load() const;
    void store(const Document &document);

    std::filesystem::path file_;
};

// A number as a user writes it into the settings file: "-14", "-14.5" or, with the decimal
// comma a German user may type, "-14,5". Nothing for anything else, infinities included.
std::optional<double> parseNumber(std::string_view text);

} // namespace mixora::settings
