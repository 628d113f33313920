// The song table's cursor as the playlist, the search boxes and auto-play use it.
#pragma once

#include "library/SongCursor.h"

namespace mixora {
class SongTable;
}

namespace mixora::library {

class TableCursor : public SongCursor {
public:
    explicit TableCursor(SongTable &table) : table_(table) {}

    void selectIndex(const std::string &indexName) override;
    void keySearch(const std::string &value) override;
    std::string field(const std::string &fieldName) const override;
    bool hasCurrentRow() const override;
    long recordCount() const override;

private:
    SongTable &table_;
};

} // namespace mixora::library
