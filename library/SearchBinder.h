// Connects the main window's search boxes and library grid to the search logic: focus
// selects the box's index, every text change searches, Enter in a box or the grid and a
// double-click on the grid take the current song. Enter is not swallowed.
#pragma once

#include "library/LibrarySearch.h"

#include <QObject>

#include <functional>
#include <vector>

class QAbstractItemView;
class QLineEdit;

namespace mixora::library {

class SearchBinder : public QObject {
    Q_OBJECT

public:
    SearchBinder(LibrarySearch &search, QObject *parent = nullptr);

    void bindBox(QLineEdit *edit, SearchBox box);
    void bindGrid(QAbstractItemView *grid);

    // Runs after a search error was caught (the table refused a key); shown to the user.
    std::function<void(const std::string &message)> onError;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    template <typename F> void guarded(F &&f);

    LibrarySearch &search_;
    std::vector<std::pair<QLineEdit *, SearchBox>> boxes_;
    QAbstractItemView *grid_ = nullptr;
};

} // namespace mixora::library
