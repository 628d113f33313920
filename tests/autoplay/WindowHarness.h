// The real program (all windows, created in order) started offscreen in a temporary program
// folder, with two virtual sound cards and the first one set up as the main output, plus the
// songs a test adds to the library and its answers for messages and file dialogs.
#pragma once

#include "app/Deck.h"
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "app/Program.h"
#include "engine/sound/Sound.h"
#include "library/Datamod.h"
#include "library/SongTableModel.h"
#include "playlist/Playlist.h"
#include "settings/Geraete.h"
#include "settings/IniFile.h"
#include "tests/support/Fixtures.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QListWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}

namespace mixora::test {

class WindowHarness : public ::testing::Test {
protected:
    void TearDown() override {
        program.reset();
        ui::setMessageHandler({});
        ui::setDialogHandler({});
        ui::setFileHandler({});
        sound::setProviderForTesting(nullptr);
        if (!previousDir.empty())
            std::filesystem::current_path(previousDir);
    }

    // Starts the program as a user would: the settings name the first card as the main
    // output, so start-up opens it; no dialog is answered with anything but Cancel.
    void start(sound::Backend backend = sound::Backend::Manual) {
        previousDir = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        provider = std::make_shared<sound::VirtualProvider>(
            std::vector<sound::VirtualDevice>{{"Testkarte 1", backend}, {"Testkarte 2", backend}});
        sound::setProviderForTesting(provider);
        const auto cards = provider->enumerate(); // the default entry first
        settings::IniFile ini(dir / "kelox.ini");
        ini.writeString(settings::kCardsSection, "Testkarte 1", cards[1].guid->toString());
        ini.writeString(settings::kDeviceSection, settings::kAuxKey, "Testkarte 1");

        ui::setMessageHandler([this](const ui::MessageRequest &r) {
            messages.push_back(r.caption + QStringLiteral(": ") + r.text);
            return ui::Answer::Ok;
        });
        ui::setDialogHandler([](QDialog &) { return int(QDialog::Rejected); });
        ui::setFileHandler([this](const ui::FileRequest &) { return fileAnswer; });

        program = std::make_unique<app::Program>();
        form().show();
        ASSERT_TRUE(form().hasMainDevice()) << "no main output";
        ASSERT_TRUE(messages.empty()) << messages.front().toStdString();
    }

    app::TFormMixora &form() { return program->FormMixora(); }
    TFormPlayList &playlist() { return program->FormPlayList(); }
    SongTable &table() { return program->DataModule1().Table1; }
    app::Deck &links() { return program->Decks().Links; }
    app::Deck &rechts() { return program->Decks().Rechts; }
    QTimer *timerAutoPlay() { return form().findChild<QTimer *>(QStringLiteral("TimerAutoPlay")); }

    // Writes an MP3 fixture into the music folder and adds its row to the library, as a scan
    // would; returns the file's path.
    std::string addSong(const std::string &artist, const std::string &title, const std::string &genre = {},
                        const std::string &jahr = {}, double seconds = 2) {
        const auto file = dir / "mp3" / (artist + " - " + title + ".mp3");
        std::filesystem::create_directories(file.parent_path());
        Mp3Options options;
        options.seconds = seconds;
        writeMp3(file, options);
        SongRecord row{};
        row[kFieldInterpret] = artist;
        row[kFieldTitel] = title;
        row[kFieldGenre] = genre;
        row[kFieldJahr] = jahr;
        row[kFieldDateiname] = file.string();
        table().appendRecord(row);
        form().GridModel()->sync();
        return file.string();
    }

    // The artist in the grid's current row, as the user sees it.
    QString gridArtist() {
        QAbstractItemView *grid = form().ui.DBGrid1;
        const QModelIndex current = grid->selectionModel()->currentIndex();
        return current.isValid() ? grid->model()->index(current.row(), 0).data().toString() : QString();
    }

    // Gives a control the keyboard focus the way a click would: its window active first.
    static void focus(QWidget *widget) {
        QWidget *window = widget->window();
        window->activateWindow();
        QApplication::processEvents();
        widget->setFocus(Qt::MouseFocusReason);
        QApplication::processEvents();
    }

    static void press(QWidget *widget) {
        QTest::mousePress(widget, Qt::LeftButton);
        QTest::mouseRelease(widget, Qt::LeftButton);
    }

    TempDir dir;
    std::filesystem::path previousDir;
    std::shared_ptr<sound::VirtualProvider> provider;
    std::unique_ptr<app::Program> program;
    std::vector<QString> messages;
    QString fileAnswer;
};

} // namespace mixora::test
