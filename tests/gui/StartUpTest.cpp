// Start-up of the whole program in a fresh program directory: settings, devices, folders,
// the song table and the first scan, and what happens when any of them is broken.
#include "app/MainForm.h"
#include "app/Program.h"
#include "library/Datamod.h"
#include "library/SongTableModel.h"
#include "settings/Geraete.h"
#include "settings/IniFile.h"
#include "tests/gui/GuiHarness.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using mixora::app::Program;
using mixora::test::GuiHarness;

namespace {

QString countText(Program &program) {
    program.FormMixora().FormActivate();
    return program.FormMixora().StatusBarDataText()->text();
}

mixora::SongRecord song(const std::string &file, const std::string &artist) {
    mixora::SongRecord r;
    r[mixora::kFieldDateiname] = file;
    r[mixora::kFieldInterpret] = artist;
    return r;
}

} // namespace

TEST(StartUp, FirstStartAsksForCardsCreatesFoldersAndTableAndScans) {
    GuiHarness h;
    bool cancelEnabledWhileForced = true;
    QStringList auxItems;
    h.answer = [&](QDialog &dialog) {
        if (qobject_cast<mixora::settings::TDlgGeraete *>(&dialog))
            return mixora::test::answerDeviceDialog(dialog, [&](QDialog &d) {
                auto &dlg = static_cast<mixora::settings::TDlgGeraete &>(d);
                cancelEnabledWhileForced = dlg.ui.CancelBtn->isEnabled();
                for (int i = 0; i < dlg.ui.CB_Aux->count(); ++i)
                    auxItems << dlg.ui.CB_Aux->itemText(i);
            });
        return int(QDialog::Rejected);
    };
    Program program;
    auto &form = program.FormMixora();
    form.show();

    // The device dialog first, then the scan window of the new table, both modal.
    ASSERT_EQ(h.dialogs, (std::vector<QString>{"TDlgGeraete", "TFormScan"}));
    EXPECT_FALSE(cancelEnabledWhileForced);
    EXPECT_TRUE(program.DlgGeraete().ui.CancelBtn->isEnabled());
    EXPECT_EQ(auxItems, (QStringList{"Testkarte 1", "Testkarte 2"}));
    EXPECT_TRUE(h.messages.empty());

    EXPECT_EQ(fs::path(form.ProgramDir.toStdString()), fs::current_path());
    EXPECT_TRUE(fs::is_directory(h.dir() / "Playlist"));
    EXPECT_TRUE(fs::is_directory(h.dir() / "Data"));
    EXPECT_TRUE(fs::is_regular_file(h.dir() / "Data" / "data.db"));

    mixora::settings::IniFile ini(h.ini());
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Aux"), "Testkarte 1");
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Head", "unset"), "");
    EXPECT_EQ(ini.readString("vorhandene Soundkarten", "Testkarte 2"), h.guidOf("Testkarte 2"));

    // The chosen card is open and running; no headphone card was chosen.
    EXPECT_TRUE(form.hasMainDevice());
    EXPECT_NE(h.devices().opened(0), nullptr);
    EXPECT_EQ(form.HeadDevice, nullptr);
    EXPECT_TRUE(program.DataModule1().Table1.active());
    EXPECT_EQ(program.DataModule1().Table1.indexName(), "iInterpret");
    EXPECT_EQ(countText(program), "0 Titel vorhanden");

    // Closing releases the card.
    form.close();
    EXPECT_EQ(h.devices().opened(0), nullptr);
}

TEST(StartUp, SecondStartOpensTheSameTableWithoutAskingOrScanning) {
    GuiHarness h;
    {
        Program first;
        first.FormMixora().show();
        first.DataModule1().Table1.appendRecord(song("/music/a.mp3", "Abba"));
        first.DataModule1().Table1.appendRecord(song("/music/b.mp3", "Beatles"));
        first.FormMixora().close();
    }
    h.dialogs.clear();
    Program second;
    second.FormMixora().show();
    EXPECT_TRUE(h.dialogs.empty());
    EXPECT_TRUE(h.messages.empty());
    EXPECT_EQ(countText(second), "2 Titel vorhanden");
    EXPECT_EQ(second.DataModule1().Table1.fieldAsString("Interpret"), "Abba");
    // The grid shows the same rows.
    ASSERT_NE(second.FormMixora().GridModel(), nullptr);
    EXPECT_EQ(second.FormMixora().GridModel()->rowCount(), 2);
}

TEST(StartUp, ActivationRefreshesTheCount) {
    GuiHarness h;
    Program program;
    auto &form = program.FormMixora();
    form.show();
    program.DataModule1().Table1.appendRecord(song("/music/c.mp3", "Cher"));
    QApplication::setActiveWindow(&form);
    QTRY_COMPARE(form.StatusBarDataText()->text(), QStringLiteral("1 Titel vorhanden"));
}

TEST(StartUp, LeavingTheForcedDialogWithoutOkStartsWithoutDevices) {
    GuiHarness h;
    h.answer = [](QDialog &dialog) {
        if (qobject_cast<mixora::settings::TDlgGeraete *>(&dialog)) {
            dialog.show();
            dialog.close(); // the window frame's close: counts as cancel
            return dialog.result();
        }
        return int(QDialog::Rejected);
    };
    Program program;
    program.FormMixora().show();
    EXPECT_FALSE(program.FormMixora().hasMainDevice());
    EXPECT_EQ(program.FormMixora().HeadDevice, nullptr);
    EXPECT_TRUE(h.messages.empty());
    EXPECT_TRUE(program.DataModule1().Table1.active());
    // The enumeration recorded the cards, but no choice was written.
    mixora::settings::IniFile ini(h.ini());
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Aux"), "");
    EXPECT_EQ(ini.readString("vorhandene Soundkarten", "Testkarte 1"), h.guidOf("Testkarte 1"));
}

TEST(StartUp, BothCardsFromTheSettingsAreOpened) {
    GuiHarness h;
    mixora::test::writeSettings(h.ini(), "Testkarte 2", h.guidOf("Testkarte 2"), "Testkarte 1",
                                h.guidOf("Testkarte 1"));
    Program program;
    program.FormMixora().show();
    EXPECT_TRUE(h.dialogs.size() == 1 && h.dialogs[0] == "TFormScan");
    ASSERT_NE(program.FormMixora().AuxDevice, nullptr);
    ASSERT_NE(program.FormMixora().HeadDevice, nullptr);
    EXPECT_EQ(program.FormMixora().AuxDevice->device, h.devices().opened(1));
    EXPECT_EQ(program.FormMixora().HeadDevice->device, h.devices().opened(0));
}

TEST(StartUp, BadDeviceEntriesAreReportedAndStartUpCompletes) {
    struct Case {
        const char *name;
        std::string guid; // what the settings file holds for the main card
        bool failOpen;
    };
    GuiHarness probe;
    const std::string realGuid = probe.guidOf("Testkarte 1");
    const std::vector<Case> cases = {
        {"not a GUID", "kein-guid", false},
        {"no GUID stored", "", false},
        {"GUID of a card not present", "{01234567-89AB-CDEF-0123-456789ABCDEF}", false},
        {"card that cannot be opened", realGuid, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        GuiHarness h;
        if (c.failOpen)
            h.devices().setOpenFailure(0, "Gerät belegt");
        mixora::test::writeSettings(h.ini(), "Testkarte 1", c.guid, "Testkarte 2", h.guidOf("Testkarte 2"));
        Program program;
        program.FormMixora().show();

        const auto errors = h.textsWithCaption("Fehler");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(errors[0].contains("Testkarte 1")) << errors[0].toStdString();
        if (c.failOpen) {
            EXPECT_TRUE(errors[0].contains("Gerät belegt")) << errors[0].toStdString();
        }
        EXPECT_FALSE(program.FormMixora().hasMainDevice());
        // The other card and the library are unaffected.
        EXPECT_NE(program.FormMixora().HeadDevice, nullptr);
        EXPECT_TRUE(program.DataModule1().Table1.active());
        EXPECT_TRUE(fs::exists(h.dir() / "Data" / "data.db"));
        EXPECT_EQ(countText(program), "0 Titel vorhanden");
    }
}

TEST(StartUp, SettingsWithGarbageLinesStillWork) {
    GuiHarness h;
    {
        std::ofstream out(h.ini(), std::ios::binary);
        out << "\xff\xfe garbage\r\n=no key\r\n[unclosed\r\n;comment\r\n";
    }
    mixora::test::writeSettings(h.ini(), "Testkarte 1", h.guidOf("Testkarte 1"));
    Program program;
    program.FormMixora().show();
    EXPECT_TRUE(h.messages.empty());
    EXPECT_TRUE(program.FormMixora().hasMainDevice());
}

TEST(StartUp, UnusableProgramFilesGiveMessagesAndNoLostData) {
    // A settings "file" that is a folder cannot be read: the cards stay closed, said once each.
    {
        GuiHarness h;
        fs::create_directory(h.ini());
        Program program;
        program.FormMixora().show();
        EXPECT_FALSE(program.FormMixora().hasMainDevice());
        EXPECT_FALSE(h.textsWithCaption("Fehler").empty());
        EXPECT_TRUE(program.DataModule1().Table1.active());
    }
    // "Data" is a file: no table, a message, and the file is left alone.
    {
        GuiHarness h;
        mixora::test::writeSettings(h.ini(), "Testkarte 1", h.guidOf("Testkarte 1"));
        mixora::test::writeFile(h.dir() / "Data", {'k', 'e', 'e', 'p'});
        Program program;
        program.FormMixora().show();
        EXPECT_EQ(h.textsWithCaption("Fehler").size(), 1u);
        EXPECT_FALSE(program.DataModule1().Table1.active());
        EXPECT_EQ(mixora::test::readFile(h.dir() / "Data"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
        EXPECT_EQ(countText(program), "-1 Titel vorhanden");
        EXPECT_TRUE(program.FormMixora().hasMainDevice());
    }
    // A data.db that is not a database is reported and never replaced or scanned into.
    {
        GuiHarness h;
        mixora::test::writeSettings(h.ini(), "Testkarte 1", h.guidOf("Testkarte 1"));
        fs::create_directory(h.dir() / "Data");
        const std::vector<std::uint8_t> junk(4096, 0x5a);
        mixora::test::writeFile(h.dir() / "Data" / "data.db", junk);
        Program program;
        program.FormMixora().show();
        EXPECT_TRUE(h.dialogs.empty()); // no scan into a table that is not there
        EXPECT_EQ(h.textsWithCaption("Fehler").size(), 1u);
        EXPECT_FALSE(program.DataModule1().Table1.active());
        EXPECT_EQ(mixora::test::readFile(h.dir() / "Data" / "data.db"), junk);
    }
    // A missing "Data" folder beside an existing settings file is simply created.
    {
        GuiHarness h;
        mixora::test::writeSettings(h.ini(), "Testkarte 1", h.guidOf("Testkarte 1"));
        Program program;
        program.FormMixora().show();
        EXPECT_TRUE(h.messages.empty());
        EXPECT_TRUE(fs::exists(h.dir() / "Data" / "data.db"));
        EXPECT_EQ(h.dialogs, (std::vector<QString>{"TFormScan"}));
    }
}

namespace {

// Makes a folder unchangeable even for root (the immutable attribute), undone on scope exit.
class Immutable {
public:
    explicit Immutable(const fs::path &dir) : dir_(dir) {
        ok_ = std::system(("chattr +i '" + dir_.string() + "' 2>/dev/null").c_str()) == 0;
    }
    ~Immutable() {
        if (ok_)
            std::system(("chattr -i '" + dir_.string() + "' 2>/dev/null").c_str());
    }
    bool ok() const { return ok_; }

private:
    fs::path dir_;
    bool ok_ = false;
};

} // namespace

TEST(StartUp, ReadOnlyProgramDirectorySaysSoAndStillStarts) {
    GuiHarness h;
    Immutable readOnly(h.dir());
    if (!readOnly.ok())
        GTEST_SKIP() << "cannot make a folder read-only here (chattr +i unavailable)";
    bool stayedOpenAfterOk = false;
    h.answer = [&](QDialog &dialog) {
        dialog.show();
        QTest::mouseClick(static_cast<mixora::settings::TDlgGeraete &>(dialog).ui.OKBtn, Qt::LeftButton);
        stayedOpenAfterOk = dialog.isVisible();
        dialog.close(); // the user gives up through the window frame
        return dialog.result();
    };
    Program program;
    program.FormMixora().show();

    EXPECT_TRUE(stayedOpenAfterOk);
    EXPECT_FALSE(fs::exists(h.ini()));
    // The settings file twice (listing, then OK) and the song table once, each with a reason.
    EXPECT_EQ(h.textsWithCaption("Fehler").size(), 3u);
    EXPECT_FALSE(program.FormMixora().hasMainDevice());
    EXPECT_FALSE(program.DataModule1().Table1.active());
    EXPECT_EQ(countText(program), "-1 Titel vorhanden");
    // Nothing more is asked: the scan only follows a table that was created.
    EXPECT_EQ(h.dialogs, std::vector<QString>{"TDlgGeraete"});
}
