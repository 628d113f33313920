// The device dialog on fake card lists: what it lists and preselects, what OK and Cancel
// write, the one-card and identical-card messages, and the menu's restart notice.
#include "app/MainForm.h"
#include "app/Program.h"
#include "settings/Geraete.h"
#include "settings/IniFile.h"
#include "tests/gui/GuiHarness.h"
#include "util/UiSeam.h"

#include <QTest>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using mixora::settings::IniFile;
using mixora::settings::TDlgGeraete;
using mixora::test::GuiHarness;

namespace {

QStringList items(const QComboBox *box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

const QString kOneCard = QStringLiteral("Sie haben nur eine Soundkarte! Kopfhörerbetrieb ist nicht möglich");

} // namespace

TEST(DeviceDialog, ListsCardsAndPreselectsTheFirstForMainOutput) {
    GuiHarness h({"Karte A", "Karte B", "Karte C"});
    TDlgGeraete dlg;
    dlg.show();
    EXPECT_EQ(items(dlg.ui.CB_Aux), (QStringList{"Karte A", "Karte B", "Karte C"}));
    EXPECT_EQ(items(dlg.ui.CB_Head), items(dlg.ui.CB_Aux));
    EXPECT_EQ(dlg.ui.CB_Aux->currentText(), "Karte A");
    EXPECT_EQ(dlg.ui.CB_Head->currentText(), "");
    EXPECT_TRUE(h.messages.empty());
    // Every card is recorded with its identifier at once, before any OK.
    IniFile ini(h.ini());
    for (const char *card : {"Karte A", "Karte B", "Karte C"})
        EXPECT_EQ(ini.readString("vorhandene Soundkarten", card), h.guidOf(card));
    EXPECT_FALSE(ini.valueExists("Geräteeinteilung", "Aux"));
    dlg.reject();
}

TEST(DeviceDialog, ShowsTheStoredChoicesOnEveryShowing) {
    GuiHarness h;
    mixora::test::writeSettings(h.ini(), "Testkarte 2", h.guidOf("Testkarte 2"), "Testkarte 1",
                                h.guidOf("Testkarte 1"));
    TDlgGeraete dlg;
    for (int showing = 0; showing < 2; ++showing) {
        dlg.show();
        EXPECT_EQ(dlg.ui.CB_Aux->currentText(), "Testkarte 2");
        EXPECT_EQ(dlg.ui.CB_Head->currentText(), "Testkarte 1");
        EXPECT_EQ(dlg.ui.CB_Aux->count(), 2); // rebuilt, not appended to
        dlg.reject();
    }
}

TEST(DeviceDialog, OkWritesBothChoicesAuxFirst) {
    GuiHarness h;
    TDlgGeraete dlg;
    dlg.show();
    dlg.ui.CB_Aux->setCurrentIndex(1);
    dlg.ui.CB_Head->setCurrentIndex(0);
    QTest::mouseClick(dlg.ui.OKBtn, Qt::LeftButton);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_TRUE(h.messages.empty());
    IniFile ini(h.ini());
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Aux"), "Testkarte 2");
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Head"), "Testkarte 1");
    EXPECT_EQ(ini.readSection("Geräteeinteilung"), (std::vector<std::string>{"Aux", "Head"}));
    // A typed text is written as it stands, whether or not a card has that name.
    dlg.show();
    dlg.ui.CB_Head->setEditText("Irgendwas");
    QTest::mouseClick(dlg.ui.OKBtn, Qt::LeftButton);
    EXPECT_EQ(IniFile(h.ini()).readString("Geräteeinteilung", "Head"), "Irgendwas");
}

TEST(DeviceDialog, IdenticalChoicesSwitchTheHeadphonesOff) {
    GuiHarness h;
    TDlgGeraete dlg;
    dlg.show();
    dlg.ui.CB_Aux->setCurrentIndex(1);
    dlg.ui.CB_Head->setCurrentIndex(1);
    QTest::mouseClick(dlg.ui.OKBtn, Qt::LeftButton);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].caption, "Fehler");
    EXPECT_EQ(h.messages[0].text, "Identische Geräte ausgewählt!\nHead wird ausgeschaltet");
    IniFile ini(h.ini());
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Aux"), "Testkarte 2");
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Head", "unset"), "");
    EXPECT_EQ(dlg.result(), QDialog::Accepted);

    // Both texts cleared count as identical too, and both keys end up empty.
    h.messages.clear();
    dlg.show();
    dlg.ui.CB_Aux->setEditText("");
    dlg.ui.CB_Head->setEditText("");
    QTest::mouseClick(dlg.ui.OKBtn, Qt::LeftButton);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(IniFile(h.ini()).readString("Geräteeinteilung", "Aux", "unset"), "");
    EXPECT_EQ(IniFile(h.ini()).readString("Geräteeinteilung", "Head", "unset"), "");
}

TEST(DeviceDialog, OneCardWarnsOnEveryShowingAndOffersNoHeadphones) {
    GuiHarness h({"Einzige Karte"});
    mixora::test::writeSettings(h.ini(), "Einzige Karte", h.guidOf("Einzige Karte"), "Alte Karte", "{x}");
    TDlgGeraete dlg;
    for (int showing = 1; showing <= 2; ++showing) {
        dlg.show();
        ASSERT_EQ(h.messages.size(), static_cast<std::size_t>(showing));
        EXPECT_EQ(h.messages.back().caption, "Warnung");
        EXPECT_EQ(h.messages.back().text, kOneCard);
        EXPECT_EQ(items(dlg.ui.CB_Aux), QStringList{"Einzige Karte"});
        EXPECT_EQ(dlg.ui.CB_Head->count(), 0);
        // The stored text is still shown, and kept by OK as it differs from the main card.
        EXPECT_EQ(dlg.ui.CB_Head->currentText(), "Alte Karte");
        dlg.reject();
    }
}

TEST(DeviceDialog, NoCardAtAllLeavesEmptyListsAndWritesNothingInvented) {
    GuiHarness h(std::vector<std::string>{});
    TDlgGeraete dlg;
    dlg.show();
    EXPECT_EQ(h.textsWithCaption("Warnung"), std::vector<QString>{kOneCard});
    EXPECT_EQ(dlg.ui.CB_Aux->count(), 0);
    EXPECT_EQ(dlg.ui.CB_Head->count(), 0);
    EXPECT_EQ(dlg.ui.CB_Aux->currentText(), "");
    QTest::mouseClick(dlg.ui.OKBtn, Qt::LeftButton);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(IniFile(h.ini()).readString("Geräteeinteilung", "Aux", "unset"), "");
    EXPECT_FALSE(IniFile(h.ini()).sectionExists("vorhandene Soundkarten"));
}

TEST(DeviceDialog, CancelKeepsTheChoiceButRecordsTheCards) {
    GuiHarness h({"Neue Karte", "Testkarte 1"});
    mixora::test::writeSettings(h.ini(), "Weg", "{00000000-0000-0000-0000-000000000001}");
    TDlgGeraete dlg;
    dlg.show();
    dlg.ui.CB_Aux->setEditText("Neue Karte");
    QTest::mouseClick(dlg.ui.CancelBtn, Qt::LeftButton);
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    IniFile ini(h.ini());
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Aux"), "Weg");
    EXPECT_EQ(ini.readString("vorhandene Soundkarten", "Neue Karte"), h.guidOf("Neue Karte"));
    // A card no longer present keeps its entry.
    EXPECT_EQ(ini.readString("vorhandene Soundkarten", "Weg"), "{00000000-0000-0000-0000-000000000001}");

    // Escape is cancel too, but not while cancel is disabled (the forced first start).
    dlg.show();
    dlg.ui.CancelBtn->setEnabled(false);
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_TRUE(dlg.isVisible());
    dlg.ui.CancelBtn->setEnabled(true);
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
}

TEST(DeviceDialog, SettingsThatCannotBeWrittenAreReportedAndOkStaysOpen) {
    GuiHarness h;
    fs::create_directory(h.ini()); // a folder where the file should be
    TDlgGeraete dlg;
    dlg.show();
    EXPECT_EQ(dlg.ui.CB_Aux->count(), 2); // the cards are still listed
    const auto shownOnActivation = h.textsWithCaption("Fehler").size();
    EXPECT_GE(shownOnActivation, 1u);
    QTest::mouseClick(dlg.ui.OKBtn, Qt::LeftButton);
    EXPECT_GT(h.textsWithCaption("Fehler").size(), shownOnActivation);
    EXPECT_TRUE(dlg.isVisible());
    dlg.reject();
}

TEST(DeviceDialog, MenuShowsRestartNoticeOnlyAfterOk) {
    GuiHarness h;
    mixora::test::writeSettings(h.ini(), "Testkarte 1", h.guidOf("Testkarte 1"));
    mixora::app::Program program;
    auto &form = program.FormMixora();
    form.show();
    ASSERT_TRUE(h.messages.empty());

    bool cancelEnabled = false;
    h.answer = [&](QDialog &dialog) {
        auto &dlg = static_cast<TDlgGeraete &>(dialog);
        dlg.show();
        cancelEnabled = dlg.ui.CancelBtn->isEnabled();
        QTest::mouseClick(dlg.ui.CancelBtn, Qt::LeftButton);
        return dlg.result();
    };
    form.ui.Geraete->trigger();
    EXPECT_TRUE(cancelEnabled);
    EXPECT_TRUE(h.messages.empty());

    h.answer = [](QDialog &dialog) { return mixora::test::answerDeviceDialog(dialog); };
    form.ui.Geraete->trigger();
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].caption, "Achtung");
    EXPECT_EQ(h.messages[0].text, "Änderungen sind erst nach Programmneustart wirksam");
    // The devices in use stay until the next start.
    EXPECT_EQ(form.AuxDevice->device, h.devices().opened(0));
}
