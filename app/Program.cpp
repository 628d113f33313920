#include "app/Program.h"

#include "app/AboutBox.h"
#include "app/DeckControls.h"
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "app/MainFormPlaylist.h"
#include "app/ProgramAnalysis.h"
#include "library/Datamod.h"
#include "library/Suche.h"
#include "library/TableCursor.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistFile.h"
#include "playlist/Wiring.h"
#include "scan/Progress.h"
#include "scan/Scan.h"
#include "settings/Geraete.h"
// Generated for this library too: the device dialog's header, which our users include,
// needs it, and the settings library keeps its generated headers to itself.
#include "ui_Geraete.h"
#include "util/UiSeam.h"

#include <QFileInfo>

namespace mixora::app {

Program::Program() {
    formMixora_ = std::make_unique<TFormMixora>();
    TFormMixora *main = formMixora_.get();
    dlgGeraete_ = std::make_unique<settings::TDlgGeraete>(main);
    dataModule1_ = std::make_unique<TDataModule1>();
    songCursor_ = std::make_unique<library::TableCursor>(dataModule1_->Table1);
    formPlayList_ = std::make_unique<TFormPlayList>(main);
    formDatenBearbeiten_ = std::make_unique<TFormDatenBearbeiten>(*dataModule1_, main);
    formScan_ = std::make_unique<TFormScan>(dataModule1_->Table1, nullptr, main);
    formProgress_ = std::make_unique<TFormProgress>(main);
    aboutBox_ = std::make_unique<TAboutBox>(main);

    ::FormScan = formScan_.get();
    ::FormProgress = formProgress_.get();
    ::FormDatenBearbeiten = formDatenBearbeiten_.get();

    formPlayList_->setAutoPlayBox(main->ui.cbAutoPlay);
    formPlayList_->setSongCursor(songCursor_.get());

    main->DlgGeraete = dlgGeraete_.get();
    main->SetDataModule(dataModule1_.get());
    main->FormPlayList = formPlayList_.get();
    main->FormDatenBearbeiten = formDatenBearbeiten_.get();
    main->FormScan = formScan_.get();
    main->AboutBox = aboutBox_.get();

    analysis_ = makeProgramAnalysis(dataModule1_->Table1);
    formScan_->setAnalysis(analysis_.get());
    main->Analysis = analysis_.get();

    decks_ = std::make_unique<WindowDecks>(*main);
    // The analysis uses a free machine and gives way the moment a deck sounds.
    const auto followDecks = [this] {
        analysis_->setDecksPlaying(decks_->Links.sounding() || decks_->Rechts.sounding());
    };
    for (Deck *deck : {&decks_->Links, &decks_->Rechts})
        QObject::connect(deck, &Deck::stateChanged, analysis_.get(), followDecks);
    controllers_ = std::make_unique<Controllers>(*main, *decks_);
    controllers_->start();
    playlistWiring_ = wirePlaylist(*main, decks_->Links, decks_->Rechts, *songCursor_, *formPlayList_);
}

void Program::openFiles(const QStringList &files) {
    TFormMixora &main = *formMixora_;
    if (main.isMinimized())
        main.showNormal();
    main.raise();
    main.activateWindow();

    std::vector<Deck *> freeDecks;
    for (Deck *deck : {&decks_->Links, &decks_->Rechts}) {
        if (!deck->sounding())
            freeDecks.push_back(deck);
    }
    std::size_t nextDeck = 0;
    for (const QString &file : files) {
        const std::string path = file.toStdString();
        if (playlist::kindOf(path) != playlist::PlaylistKind::None) {
            formPlayList_->loadPlaylist(file); // says itself when the file cannot be read
            continue;
        }
        const QString suffix = QFileInfo(file).suffix().toLower();
        if (suffix == QLatin1String("mxp") || suffix.startsWith(QLatin1String("m3u"))) {
            ui::message(&main, QStringLiteral("Warnung"),
                        QStringLiteral("%1 kann nicht als Playliste geladen werden: Playlisten "
                                       "enden auf „.mxp“ oder „.m3u“.")
                            .arg(file));
            continue;
        }
        if (!QFileInfo(file).isFile()) {
            ui::message(&main, QStringLiteral("Fehler"),
                        QStringLiteral("Datei %1 kann nicht geöffnet werden").arg(file));
            continue;
        }
        if (nextDeck < freeDecks.size()) {
            freeDecks[nextDeck++]->loadFile(file);
            continue;
        }
        // More songs than free decks: nothing given is dropped, auto-play can take them later.
        formPlayList_->Neu1Click();
        formPlayList_->append(path, playlist::fileNameOf(path));
    }
}

Program::~Program() {
    // The main window first (it releases players and devices), then the windows it showed;
    // all of them are children of it and must go before it would delete them itself.
    // Controllers stop first: their threads reach the players that closing destroys.
    controllers_.reset();
    formMixora_->FormClose();
    // No auto-play step or search may reach a deck, the playlist or the table being torn down.
    playlistWiring_.reset();
    decks_.reset();
    // Its workers stop before the table their results go to.
    formScan_->setAnalysis(nullptr);
    formMixora_->Analysis = nullptr;
    analysis_.reset();
    ::FormScan = nullptr;
    ::FormProgress = nullptr;
    ::FormDatenBearbeiten = nullptr;
    aboutBox_.reset();
    formProgress_.reset();
    formScan_.reset();
    formDatenBearbeiten_.reset();
    formPlayList_.reset();
    formMixora_->SetDataModule(nullptr);
    songCursor_.reset();
    dlgGeraete_.reset();
    formMixora_.reset();
    dataModule1_.reset();
}

} // namespace mixora::app
