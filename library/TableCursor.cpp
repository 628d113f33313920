#include "library/TableCursor.h"

#include "library/SongTable.h"

namespace mixora::library {

void TableCursor::selectIndex(const std::string &indexName) {
    table_.setIndexName(indexName);
}

void TableCursor::keySearch(const std::string &value) {
    table_.findNearest(value);
}

std::string TableCursor::field(const std::string &fieldName) const {
    return hasCurrentRow() ? table_.fieldAsString(fieldName) : std::string();
}

bool TableCursor::hasCurrentRow() const {
    return table_.currentKey().has_value();
}

long TableCursor::recordCount() const {
    return static_cast<long>(table_.recordCount());
}

} // namespace mixora::library
