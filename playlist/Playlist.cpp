#include "playlist/Playlist.h"

#include "library/SongCursor.h"
#include "playlist/PlaylistFile.h"
#include "ui_Playlist.h"
#include "util/UiSeam.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>

namespace pl = mixora::playlist;

namespace {

const QString kCaption = QStringLiteral("Fehler");

void cannotOpen(QWidget *parent, const QString &file) {
    mixora::ui::message(
        parent, kCaption,
        QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(QDir::toNativeSeparators(file)));
}

void cannotCreate(QWidget *parent, const QString &file) {
    mixora::ui::message(
        parent, kCaption,
        QStringLiteral("Datei %1 kann nicht erstellt werden").arg(QDir::toNativeSeparators(file)));
}

} // namespace

TFormPlayList::TFormPlayList(QWidget *parent) : QWidget(parent), ui(new Ui::TFormPlayList) {
    ui->setupUi(this);
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    setFixedSize(310, 231);
    connect(ui->btDelete, &QPushButton::clicked, this, [this] { btDeleteClick(); });
    connect(ui->btAutoPlay, &QPushButton::clicked, this, [this] { btAutoPlayClick(); });
    connect(ui->btSave, &QPushButton::clicked, this, [this] { btSaveClick(); });
    connect(ui->btCancel, &QPushButton::clicked, this, [this] { btCancelClick(); });
    ui->ListBox1->installEventFilter(this);
    ui->ListBox1->viewport()->installEventFilter(this);
}

TFormPlayList::~TFormPlayList() {
    delete ui;
}

QListWidget *TFormPlayList::listBox() const {
    return ui->ListBox1;
}

QString TFormPlayList::playlistFolder() const {
    return programDir_.isEmpty() ? QStringLiteral("Playlist")
                                 : QDir(programDir_).filePath(QStringLiteral("Playlist"));
}

std::string TFormPlayList::entry(int index) const {
    if (index < 0 || index >= count())
        return {};
    return FileList[static_cast<std::size_t>(index)];
}

void TFormPlayList::selectLine(int index) {
    if (index >= 0 && index < ui->ListBox1->count())
        ui->ListBox1->setCurrentRow(index);
}

void TFormPlayList::append(const std::string &path, const std::string &displayLine) {
    FileList.push_back(path);
    ui->ListBox1->addItem(QString::fromStdString(displayLine));
}

void TFormPlayList::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    // Shown again after the main window was minimised, the playlist is still the same one.
    if (!open_)
        FormShow();
}

void TFormPlayList::closeEvent(QCloseEvent *event) {
    FormClose();
    QWidget::closeEvent(event);
}

void TFormPlayList::FormShow() {
    FileList.clear();
    ui->ListBox1->clear();
    NextIndex = 0;
    open_ = true;
}

void TFormPlayList::FormClose() {
    FileList.clear();
    ui->ListBox1->clear();
    NextIndex = 0;
    open_ = false;
    setAutoPlay(false);
}

void TFormPlayList::setAutoPlay(bool on) {
    if (autoPlayBox_)
        autoPlayBox_->setChecked(on);
}

bool TFormPlayList::eventFilter(QObject *watched, QEvent *event) {
    if (watched == ui->ListBox1 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Delete) {
            ListBox1KeyDown(key);
            return true;
        }
    } else if (watched == ui->ListBox1->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        ListBox1DblClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TFormPlayList::btCancelClick() {
    close();
}

void TFormPlayList::btDeleteClick() {
    removeSelected();
}

void TFormPlayList::ListBox1DblClick() {
    removeSelected();
}

void TFormPlayList::ListBox1KeyDown(int key) {
    if (key == Qt::Key_Delete)
        removeSelected();
}

void TFormPlayList::removeSelected() {
    const auto selected = ui->ListBox1->selectedItems();
    if (selected.isEmpty())
        return;
    const int row = ui->ListBox1->row(selected.first());
    if (row < 0 || row >= count())
        return;
    delete ui->ListBox1->takeItem(row);
    FileList.erase(FileList.begin() + row);
    // NextIndex stays: auto-play wraps to the first entry when it points past the end.
}

void TFormPlayList::btSaveClick() {
    mixora::ui::FileRequest request;
    request.parent = this;
    request.save = true;
    request.directory = playlistFolder();
    request.filter = QStringLiteral("DJ Mixora Playlist (*.mxp)");
    request.defaultSuffix = QStringLiteral("mxp");
    QString file = mixora::ui::askFileName(request);
    if (!file.isEmpty()) {
        if (QFileInfo(file).suffix().isEmpty())
            file += QStringLiteral(".mxp");
        if (!pl::writeMxp(file.toStdString(), FileList))
            cannotCreate(this, file);
    }
    setAutoPlay(false);
}

void TFormPlayList::btAutoPlayClick() {
    setAutoPlay(true);
}

void TFormPlayList::Neu1Click() {
    if (!open_ || !isVisible()) {
        show();
        return;
    }
    raise();
    activateWindow();
}

void TFormPlayList::Laden1Click() {
    mixora::ui::FileRequest request;
    request.parent = parentWidget();
    request.directory = playlistFolder();
    request.filter = QStringLiteral("DJ-Mixora-Playlist (*.mxp);;Winamp-Playlist (*.m3u *.m3u8)");
    request.defaultSuffix = QStringLiteral("mxp");
    const QString file = mixora::ui::askFileName(request);
    if (!file.isEmpty())
        loadPlaylist(file);
}

void TFormPlayList::openEmpty() {
    if (!open_ || !isVisible())
        show();
    FileList.clear();
    ui->ListBox1->clear();
    NextIndex = 0;
}

bool TFormPlayList::loadPlaylist(const QString &file) {
    const std::string path = file.toStdString();
    const pl::PlaylistKind kind = pl::kindOf(path);
    if (kind == pl::PlaylistKind::None)
        return false;
    // Read before touching the playlist, so an unreadable file leaves the one shown intact.
    const auto lines = pl::readPlaylistLines(path);
    if (!lines) {
        cannotOpen(this, file);
        return false;
    }
    std::vector<std::string> entries = kind == pl::PlaylistKind::Mxp ? *lines : pl::m3uEntries(*lines, path);
    openEmpty();
    FileList = std::move(entries);
    if (kind == pl::PlaylistKind::M3u && !FileList.empty()) {
        const std::string converted = pl::convertedName(path);
        // The imported entries stay usable even when the converted copy cannot be written.
        if (!pl::writeMxp(converted, FileList))
            cannotCreate(this, QString::fromStdString(converted));
    }
    fillDisplayLines();
    return true;
}

void TFormPlayList::fillDisplayLines() {
    ui->ListBox1->clear();
    if (songs_)
        songs_->selectIndex("iDateiName");
    QStringList lines;
    lines.reserve(count());
    for (const auto &e : FileList) {
        std::string line;
        if (songs_) {
            songs_->keySearch(e);
            if (songs_->hasCurrentRow() && mixora::library::samePath(songs_->field("DateiName"), e))
                line = songs_->field("Interpret") + " - " + songs_->field("Titel");
        }
        // An entry without its own library row shows its file's name, never another song.
        if (line.empty())
            line = pl::fileNameOf(e);
        lines.push_back(QString::fromStdString(line));
    }
    ui->ListBox1->addItems(lines);
}
