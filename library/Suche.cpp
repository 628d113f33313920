#include "library/Suche.h"

#include "library/SongTableModel.h"
#include "ui_Suche.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMetaProperty>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <QToolButton>

using mixora::SongTable;
using mixora::TableState;

TFormDatenBearbeiten *FormDatenBearbeiten = nullptr;

namespace {

enum NavButton { nbFirst, nbPrior, nbNext, nbLast, nbInsert, nbDelete, nbEdit, nbPost, nbCancel, nbRefresh };

const QString kDeleteQuestion = QStringLiteral("Datensatz löschen?");

} // namespace

// The grid's cell editor is always open, so Qt commits it whenever the current cell moves.
// Only a real change may reach the table: an unchanged commit would otherwise start an edit
// or drag the cursor back to the row the editor was opened on.
class TFormDatenBearbeiten::GridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override {
        QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
        openEditor = editor;
        if (editor != nullptr && keyWatcher != nullptr)
            editor->installEventFilter(keyWatcher);
        return editor;
    }

    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override {
        const QByteArray property = editor->metaObject()->userProperty().name();
        if (editor->property(property.constData()).toString() == index.data(Qt::EditRole).toString())
            return;
        QStyledItemDelegate::setModelData(editor, model, index);
    }

    mutable QPointer<QWidget> openEditor;
    QObject *keyWatcher = nullptr;
};

TFormDatenBearbeiten::TFormDatenBearbeiten(mixora::TDataModule1 &data, QWidget *parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormDatenBearbeiten>()), data_(data) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    // The count stands where the grid begins; keep it readable above the grid's edge.
    ui_->Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ui_->Label3->raise();

    model_ =
        std::make_unique<mixora::SongTableModel>(data_.Table1, mixora::SongTableModel::editorGridColumns());
    model_->setEditable(true);
    QTableView *grid = ui_->DBGrid1;
    delegate_ = new GridDelegate(grid);
    grid->setItemDelegate(delegate_);
    grid->setModel(model_.get());
    grid->setEditTriggers(QAbstractItemView::AllEditTriggers);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setSelectionBehavior(QAbstractItemView::SelectItems);
    grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grid->verticalHeader()->setVisible(true);
    grid->verticalHeader()->setDefaultSectionSize(18);
    for (int c = 0; c < model_->columnCount(); ++c)
        grid->setColumnWidth(c, model_->columnWidth(c));
    grid->installEventFilter(this);
    grid->viewport()->installEventFilter(this);
    delegate_->keyWatcher = this;
    ui_->Edit1->installEventFilter(this);
    ui_->Edit2->installEventFilter(this);

    // Queued: the table reports cursor moves from inside its operations (a post reports
    // before its tag is written); moving the grid then could commit the cell editor and drag
    // the cursor away from the row being posted.
    connect(
        model_.get(), &mixora::SongTableModel::currentRowChanged, this,
        [this] { showCurrentRow(model_->currentRow()); }, Qt::QueuedConnection);
    // Only the user's own moves in the grid move the cursor: the grid's current cell also
    // shifts when rows come and go, and following that would move the cursor under a post.
    connect(grid, &QAbstractItemView::pressed, this,
            [this] { gridRowChanged(ui_->DBGrid1->currentIndex().row()); });
    connect(ui_->Edit1, &QLineEdit::textChanged, this, &TFormDatenBearbeiten::Edit1Change);
    connect(ui_->Edit2, &QLineEdit::textChanged, this, &TFormDatenBearbeiten::Edit2Change);
    connect(ui_->Button1, &QPushButton::clicked, this, &QDialog::accept);
    // Enter in a search box or a cell must not close the window through a default button.
    ui_->Button1->setAutoDefault(false);
    ui_->Button1->setDefault(false);
    connect(qApp, &QApplication::focusChanged, this, &TFormDatenBearbeiten::focusChanged);

    navigator_ = {ui_->nbFirst,  ui_->nbPrior, ui_->nbNext, ui_->nbLast,   ui_->nbInsert,
                  ui_->nbDelete, ui_->nbEdit,  ui_->nbPost, ui_->nbCancel, ui_->nbRefresh};
    for (int i = 0; i < navigator_.size(); ++i) {
        navigator_[i]->setFocusPolicy(Qt::NoFocus); // the grid keeps the focus and its edit
        connect(navigator_[i], &QToolButton::clicked, this, [this, i] { navigate(i); });
    }

    // Posts write tags only while this window is shown; failures are told to the user here.
    data_.editorShown = [this] { return isVisible(); };
    data_.tagWriteFailed = [this](const std::string &message) {
        mixora::ui::message(this, QStringLiteral("Fehler"), QString::fromStdString(message));
    };
    // Tags are written in the background; their results come back on this thread.
    data_.setTagWritesReady([this] {
        QMetaObject::invokeMethod(
            this, [this] { data_.collectTagWrites(); }, Qt::QueuedConnection);
    });
    listenerId_ = data_.Table1.addListener([this](mixora::TableChange) { updateNavigator(); });
}

TFormDatenBearbeiten::~TFormDatenBearbeiten() {
    data_.setTagWritesReady(nullptr); // the data module finishes what is still pending
    data_.Table1.removeListener(listenerId_);
    data_.editorShown = nullptr;
    data_.tagWriteFailed = nullptr;
}

void TFormDatenBearbeiten::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormDatenBearbeiten::FormShow() {
    const std::int64_t count = data_.Table1.active() ? data_.Table1.recordCount() : 0;
    ui_->Label3->setText(QString::number(count) + QStringLiteral(" Titel vorhanden"));
    model_->sync();
    showCurrentRow(model_->currentRow());
    updateNavigator();
}

bool TFormDatenBearbeiten::guarded(const std::function<void()> &action) {
    try {
        action();
        return true;
    } catch (const std::exception &e) {
        mixora::ui::message(this, QStringLiteral("Fehler"), QString::fromStdString(e.what()));
        return false;
    }
}

void TFormDatenBearbeiten::Edit1Enter() {
    guarded([this] { data_.Table1.setIndexName("iInterpret"); });
}

void TFormDatenBearbeiten::Edit2Enter() {
    guarded([this] { data_.Table1.setIndexName("iTitel"); });
}

void TFormDatenBearbeiten::Edit1Change(const QString &text) {
    guarded([&] {
        SongTable &t = data_.Table1;
        // Auto-play may have switched the order since the box got the focus; search the
        // artists anyway instead of failing on every keystroke.
        if (t.keyField() != mixora::kFieldInterpret)
            t.setIndexName("iInterpret");
        t.findNearest(text.toStdString());
    });
}

void TFormDatenBearbeiten::Edit2Change(const QString &text) {
    guarded([&] {
        SongTable &t = data_.Table1;
        if (t.keyField() != mixora::kFieldTitel)
            t.setIndexName("iTitel");
        t.findNearest(text.toStdString());
    });
}

void TFormDatenBearbeiten::commitGridEditor() {
    if (delegate_->openEditor &&
        ui_->DBGrid1->indexWidget(ui_->DBGrid1->currentIndex()) == delegate_->openEditor)
        emit delegate_->commitData(delegate_->openEditor);
}

void TFormDatenBearbeiten::revertGridEditor() {
    if (delegate_->openEditor &&
        ui_->DBGrid1->indexWidget(ui_->DBGrid1->currentIndex()) == delegate_->openEditor)
        emit delegate_->closeEditor(delegate_->openEditor, QAbstractItemDelegate::RevertModelCache);
}

void TFormDatenBearbeiten::deleteCurrentRow() {
    SongTable &t = data_.Table1;
    if (!t.active() || (t.isEmpty() && t.state() != TableState::Insert))
        return;
    if (mixora::ui::message(this, QStringLiteral("Bestätigung"), kDeleteQuestion,
                            mixora::ui::Buttons::OkCancel) != mixora::ui::Answer::Ok)
        return;
    guarded([&] { t.deleteRecord(); });
    model_->sync();
}

void TFormDatenBearbeiten::navigate(int button) {
    SongTable &t = data_.Table1;
    if (!t.active())
        return;
    if (button != nbDelete && button != nbCancel)
        commitGridEditor();
    guarded([&] {
        switch (button) {
        case nbFirst:
            t.first();
            break;
        case nbPrior:
            t.prior();
            break;
        case nbNext:
            t.next();
            break;
        case nbLast:
            t.last();
            break;
        case nbInsert:
            t.insert();
            break;
        case nbDelete:
            deleteCurrentRow();
            break;
        case nbEdit:
            t.edit();
            break;
        case nbPost:
            t.post();
            break;
        case nbCancel:
            revertGridEditor();
            t.cancel();
            break;
        case nbRefresh:
            t.checkBrowseMode();
            t.refresh();
            break;
        default:
            break;
        }
    });
    model_->sync();
    showCurrentRow(model_->currentRow());
    updateNavigator();
}

void TFormDatenBearbeiten::showCurrentRow(int row) {
    QTableView *grid = ui_->DBGrid1;
    if (row < 0 || row >= model_->rowCount())
        return;
    syncingSelection_ = true;
    const int column = grid->currentIndex().isValid() ? grid->currentIndex().column() : 0;
    const QModelIndex index = model_->index(row, column);
    grid->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    grid->scrollTo(index, QAbstractItemView::PositionAtCenter);
    syncingSelection_ = false;
}

void TFormDatenBearbeiten::gridRowChanged(int row) {
    if (syncingSelection_ || row < 0 || row == model_->currentRow())
        return;
    // Leaving a row posts it; a post the table refuses keeps the user on the row being edited.
    bool moved = false;
    const bool ok = guarded([&] { moved = model_->setCurrentRow(row); });
    if (!ok || !moved)
        QMetaObject::invokeMethod(
            this, [this] { showCurrentRow(model_->currentRow()); }, Qt::QueuedConnection);
    updateNavigator();
}

void TFormDatenBearbeiten::updateNavigator() {
    const SongTable &t = data_.Table1;
    const bool active = t.active();
    const bool editing = active && (t.state() == TableState::Edit || t.state() == TableState::Insert);
    const bool empty = !active || t.isEmpty();
    navigator_[nbFirst]->setEnabled(active && !empty && !t.bof());
    navigator_[nbPrior]->setEnabled(active && !empty && !t.bof());
    navigator_[nbNext]->setEnabled(active && !empty && !t.eof());
    navigator_[nbLast]->setEnabled(active && !empty && !t.eof());
    navigator_[nbInsert]->setEnabled(active);
    navigator_[nbDelete]->setEnabled(active && (!empty || t.state() == TableState::Insert));
    navigator_[nbEdit]->setEnabled(active && !editing);
    navigator_[nbPost]->setEnabled(editing);
    navigator_[nbCancel]->setEnabled(editing);
    navigator_[nbRefresh]->setEnabled(active);
}

void TFormDatenBearbeiten::keyPressEvent(QKeyEvent *event) {
    // Escape ends a cell edit in the grid; it is no way to close the window by accident.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TFormDatenBearbeiten::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusIn) {
        if (watched == ui_->Edit1)
            Edit1Enter();
        else if (watched == ui_->Edit2)
            Edit2Enter();
    } else if (event->type() == QEvent::KeyPress && watched != ui_->Edit1 && watched != ui_->Edit2) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Delete && (key->modifiers() & Qt::ControlModifier)) {
            deleteCurrentRow();
            return true;
        }
        // The grid moves its cell after this filter; follow it once it has.
        QMetaObject::invokeMethod(
            this, [this] { gridRowChanged(ui_->DBGrid1->currentIndex().row()); }, Qt::QueuedConnection);
    }
    return QDialog::eventFilter(watched, event);
}

void TFormDatenBearbeiten::focusChanged(QWidget *old, QWidget *now) {
    if (!isVisible())
        return;
    QTableView *grid = ui_->DBGrid1;
    const bool wasInGrid = old != nullptr && (old == grid || grid->isAncestorOf(old));
    const bool isInGrid = now != nullptr && (now == grid || grid->isAncestorOf(now));
    SongTable &t = data_.Table1;
    // A new row nobody typed into is abandoned when the grid is left.
    if (wasInGrid && !isInGrid && t.active() && t.state() == TableState::Insert && !t.modified()) {
        t.cancel();
        model_->sync();
    }
}

void TFormDatenBearbeiten::done(int result) {
    commitGridEditor();
    SongTable &t = data_.Table1;
    if (t.active() && (t.state() == TableState::Edit || t.state() == TableState::Insert)) {
        if (t.modified()) {
            // Still shown: the post writes the tag.
            if (!guarded([&] { t.post(); }))
                return;
        } else {
            t.cancel();
        }
        model_->sync();
    }
    QDialog::done(result);
}
