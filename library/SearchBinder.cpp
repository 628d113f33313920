#include "library/SearchBinder.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>

#include <exception>

namespace mixora::library {

namespace {
bool isEnter(QEvent *event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<QKeyEvent *>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}
} // namespace

SearchBinder::SearchBinder(LibrarySearch &search, QObject *parent) : QObject(parent), search_(search) {}

template <typename F> void SearchBinder::guarded(F &&f) {
    try {
        f();
    } catch (const std::exception &e) {
        if (onError)
            onError(e.what());
        else
            throw;
    }
}

void SearchBinder::bindBox(QLineEdit *edit, SearchBox box) {
    boxes_.emplace_back(edit, box);
    edit->installEventFilter(this);
    connect(edit, &QLineEdit::textChanged, this,
            [this, box](const QString &text) { guarded([&] { search_.change(box, text.toStdString()); }); });
}

void SearchBinder::bindGrid(QAbstractItemView *grid) {
    grid_ = grid;
    grid->installEventFilter(this);
    grid->viewport()->installEventFilter(this);
}

bool SearchBinder::eventFilter(QObject *watched, QEvent *event) {
    for (const auto &[edit, box] : boxes_) {
        if (watched != edit)
            continue;
        if (event->type() == QEvent::FocusIn)
            guarded([&, b = box] { search_.enter(b); });
        else if (isEnter(event))
            guarded([&] { search_.takeCurrentRow(); });
        return false;
    }
    if (grid_ && watched == grid_ && isEnter(event))
        guarded([&] { search_.takeCurrentRow(); });
    else if (grid_ && watched == grid_->viewport() && event->type() == QEvent::MouseButtonDblClick)
        guarded([&] { search_.takeCurrentRow(); });
    return false;
}

} // namespace mixora::library
