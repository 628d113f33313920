#include "settings/IniFile.h"

#include "util/Cp1252.h"
#include "util/LineFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace mixora::settings {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

bool isComment(std::string_view trimmed) {
    return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

// The section name of a header line "[name]", or nothing.
std::optional<std::string_view> sectionOf(std::string_view line) {
    const auto t = trim(line);
    if (t.empty() || t.front() != '[')
        return std::nullopt;
    const auto close = t.find(']');
    const auto inner = close == std::string_view::npos ? t.substr(1) : t.substr(1, close - 1);
    return trim(inner);
}

// The key of a "key=value" line, or nothing (comments, headers and garbage).
std::optional<std::string_view> keyOf(std::string_view line) {
    const auto t = trim(line);
    if (t.empty() || isComment(t) || t.front() == '[')
        return std::nullopt;
    const auto eq = t.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return trim(t.substr(0, eq));
}

std::string valueOf(std::string_view line) {
    const auto eq = line.find('=');
    auto value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

// Line breaks inside a value would split it into lines of their own.
std::string oneLine(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

} // namespace

IniFile::IniFile(std::filesystem::path file) : file_(std::move(file)) {}

bool IniFile::exists() const {
    std::error_code ec;
    return std::filesystem::exists(file_, ec);
}

IniFile::Document IniFile::load() const {
    Document doc;
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec))
        return doc;
    std::string bytes;
    try {
        bytes = text::readFileBytes(file_);
    } catch (const text::FileError &e) {
        throw IniError(std::string("Die Einstellungsdatei kann nicht gelesen werden: ") + e.what());
    }
    const auto crlf = bytes.find("\r\n");
    if (bytes.find('\n') != std::string::npos && crlf == std::string::npos)
        doc.lineEnd = "\n";
    std::string_view view(bytes);
    std::size_t start = 0;
    const auto addLine = [&](std::size_t end) {
        Line line;
        line.raw = std::string(view.substr(start, end - start));
        std::string_view content = line.raw;
        if (doc.lines.empty() && content.substr(0, 3) == "\xEF\xBB\xBF")
            content.remove_prefix(3); // a byte-order mark says nothing about the first line's text
        line.text = text::decodeLine(content);
        doc.lines.push_back(std::move(line));
    };
    for (std::size_t i = 0; i < view.size(); ++i) {
        if (view[i] != '\n' && view[i] != '\r')
            continue;
        addLine(i);
        if (view[i] == '\r' && i + 1 < view.size() && view[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < view.size())
        addLine(view.size());
    return doc;
}

void IniFile::store(const Document &document) {
    std::string bytes;
    for (const auto &line : document.lines) {
        bytes += line.changed ? text::encodeLine(line.text) : line.raw;
        bytes += document.lineEnd;
    }
    try {
        text::writeFileAtomically(file_, bytes);
    } catch (const text::FileError &e) {
        throw IniError(std::string("Die Einstellungsdatei kann nicht geschrieben werden: ") + e.what());
    }
}

namespace {

// Index of the first header line of the section, or npos.
template <class Lines> std::size_t findSection(const Lines &lines, std::string_view section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = sectionOf(lines[i].text);
        if (name && text::equalsNoCase(*name, trim(section)))
            return i;
    }
    return std::string::npos;
}

// One past the last line of the section whose header is at header.
template <class Lines> std::size_t sectionEnd(const Lines &lines, std::size_t header) {
    std::size_t i = header + 1;
    while (i < lines.size() && !sectionOf(lines[i].text))
        ++i;
    return i;
}

template <class Lines> std::size_t findKey(const Lines &lines, std::size_t header, std::string_view key) {
    const auto end = sectionEnd(lines, header);
    for (std::size_t i = header + 1; i < end; ++i) {
        const auto k = keyOf(lines[i].text);
        if (k && text::equalsNoCase(*k, trim(key)))
            return i;
    }
    return std::string::npos;
}

} // namespace

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
    const auto doc = load();
    const auto header = findSection(doc.lines, section);
    if (header == std::string::npos)
        return std::string(defaultValue);
    const auto at = findKey(doc.lines, header, key);
    if (at == std::string::npos)
        return std::string(defaultValue);
    return valueOf(doc.lines[at].text);
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    auto doc = load();
    const std::string keyName(trim(oneLine(key)));
    const std::string entry = keyName + "=" + oneLine(value);
    auto header = findSection(doc.lines, section);
    if (header == std::string::npos) {
        if (!doc.lines.empty() && !trim(doc.lines.back().text).empty())
            doc.lines.push_back({"", "", true});
        doc.lines.push_back({"", "[" + std::string(trim(oneLine(section))) + "]", true});
        doc.lines.push_back({"", entry, true});
    } else if (const auto at = findKey(doc.lines, header, key); at != std::string::npos) {
        // Keep the key as it is spelled in the file; only the value changes.
        const auto &old = doc.lines[at].text;
        doc.lines[at] = {"", std::string(trim(old.substr(0, old.find('=')))) + "=" + oneLine(value), true};
    } else {
        // After the section's last non-blank line, so blank separators stay before the next one.
        auto end = sectionEnd(doc.lines, header);
        while (end > header + 1 && trim(doc.lines[end - 1].text).empty())
            --end;
        doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(end), Line{"", entry, true});
    }
    store(doc);
}

void IniFile::deleteKey(std::string_view section, std::string_view key) {
    auto doc = load();
    const auto header = findSection(doc.lines, section);
    if (header == std::string::npos)
        return;
    const auto at = findKey(doc.lines, header, key);
    if (at == std::string::npos)
        return;
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(at));
    store(doc);
}

void IniFile::eraseSection(std::string_view section) {
    auto doc = load();
    const auto header = findSection(doc.lines, section);
    if (header == std::string::npos)
        return;
    const auto end = sectionEnd(doc.lines, header);
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(header),
                    doc.lines.begin() + static_cast<std::ptrdiff_t>(end));
    store(doc);
}

bool IniFile::sectionExists(std::string_view section) const {
    return findSection(load().lines, section) != std::string::npos;
}

bool IniFile::valueExists(std::string_view section, std::string_view key) const {
    const auto doc = load();
    const auto header = findSection(doc.lines, section);
    return header != std::string::npos && findKey(doc.lines, header, key) != std::string::npos;
}

std::vector<std::string> IniFile::readSections() const {
    std::vector<std::string> names;
    for (const auto &line : load().lines)
        if (const auto name = sectionOf(line.text))
            names.emplace_back(*name);
    return names;
}

std::vector<std::string> IniFile::readSection(std::string_view section) const {
    std::vector<std::string> keys;
    const auto doc = load();
    const auto header = findSection(doc.lines, section);
    if (header == std::string::npos)
        return keys;
    const auto end = sectionEnd(doc.lines, header);
    for (std::size_t i = header + 1; i < end; ++i)
        if (const auto k = keyOf(doc.lines[i].text))
            keys.emplace_back(*k);
    return keys;
}

std::optional<double> parseNumber(std::string_view text) {
    std::string s(text);
    std::replace(s.begin(), s.end(), ',', '.');
    double value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace mixora::settings
