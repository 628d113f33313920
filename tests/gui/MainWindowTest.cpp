// The main window's layout, menus, lamps, load-error report and the application's error
// display.
#include "app/AboutBox.h"
#include "app/Application.h"
#include "app/MainForm.h"
#include "app/Program.h"
#include "library/Datamod.h"
#include "library/SongTableModel.h"
#include "tests/gui/GuiHarness.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <stdexcept>

using mixora::app::Program;
using mixora::app::TFormMixora;
using mixora::test::GuiHarness;

namespace {

QRect inClient(const TFormMixora &form, const QWidget *w) {
    return QRect(w->mapTo(form.ui.ClientArea, QPoint(0, 0)), w->size());
}

QImage lamp(const QAbstractButton *b) {
    return b->icon().pixmap(16, 16).toImage();
}

} // namespace

TEST(MainWindow, LayoutFollowsTheWindowPlan) {
    TFormMixora form;
    EXPECT_EQ(form.objectName(), "FormMixora");
    EXPECT_EQ(form.windowTitle(), "DJ-Mixora");
    EXPECT_EQ(form.ui.ClientArea->size(), QSize(792, 431));

    const struct {
        QWidget *w;
        QRect r;
    } places[] = {
        {form.ui.Panel1, {0, 0, 318, 201}},
        {form.ui.Panel4, {318, 0, 156, 201}},
        {form.ui.Panel3, {474, 0, 318, 201}},
        {form.ui.PanelMix_Links, {104, 199, 57, 234}},
        {form.ui.DBGrid1, {162, 200, 469, 153}},
        {form.ui.Panel2, {161, 352, 470, 81}},
        {form.ui.PanelMix_Rechts, {630, 199, 59, 234}},
        {form.ui.SBVolume_Head, {24, 304, 16, 105}},
        {form.ui.LoadDB_Rechts, {474 + 8, 8, 65, 22}},
        {form.ui.PanelInfo_Links, {8, 40, 169, 75}},
        {form.ui.LabelZeitRechts, {474 + 8 + 16, 40 + 26, 142, 32}},
        {form.ui.SBarPitchLinks, {288, 8, 25, 166}},
        {form.ui.Speedzero_Links, {248, 82, 33, 20}},
        {form.ui.SpeedZero_Rechts, {474 + 248, 82, 33, 20}},
        {form.ui.Cue_Rechts, {474 + 192, 136, 40, 40}},
        {form.ui.Play_Links, {240, 136, 40, 40}},
        {form.ui.StatusBar_Links, {1, 183, 316, 17}},
        {form.ui.EditJahr, {318 + 5, 144, 145, 21}},
    };
    for (const auto &p : places)
        EXPECT_EQ(inClient(form, p.w), p.r) << p.w->objectName().toStdString();

    EXPECT_EQ(form.ui.LoadDB_Links->text(), "Laden");
    EXPECT_TRUE(form.ui.LoadDB_Links->font().bold());
    EXPECT_EQ(form.ui.LabelZeitLinks->text(), "00:00:00:00");
    EXPECT_EQ(form.ui.lbPitch_Rechts->text(), "0 %");
    EXPECT_EQ(form.ui.Cue_Links->text(), "CUE");
    EXPECT_EQ(form.ui.cbAutoCue->text(), "Autocue");
    EXPECT_FALSE(form.ui.cbAutoCue->isChecked());
    EXPECT_FALSE(form.ui.cbAutoPlay->isChecked());
    EXPECT_EQ(form.ui.SpeedButton8->text(), "Zero");
    EXPECT_EQ(form.ui.LabelVol_Rechts->text(), "Vol Rechts");
    EXPECT_EQ(form.ui.LabelVol_Links->text(), "Vol. Links");

    // The bars' ranges and start positions.
    EXPECT_EQ(form.ui.SBarPitchRechts->minimum(), -200);
    EXPECT_EQ(form.ui.SBarPitchRechts->maximum(), 200);
    EXPECT_EQ(form.ui.SBarPitchRechts->pageStep(), 21);
    EXPECT_EQ(form.ui.sbFader->minimum(), -10000);
    EXPECT_EQ(form.ui.sbFader->value(), 0);
    EXPECT_EQ(form.ui.SBVolume_Head->maximum(), 10000);
    EXPECT_EQ(form.ui.SBVolume_Links->orientation(), Qt::Vertical);

    // Status bars: two panels per deck, both empty; the state word's panel is at least 50 pixels
    // wide and every state word fits it whole.
    for (QStatusBar *bar : {form.ui.StatusBar_Links, form.ui.StatusBar_Rechts}) {
        QLabel *state = TFormMixora::StatusPanel(bar, 0);
        QLabel *songPanel = TFormMixora::StatusPanel(bar, 1);
        ASSERT_NE(state, nullptr);
        ASSERT_NE(songPanel, nullptr);
        EXPECT_GE(state->width(), 50);
        for (const char *word : {"loaded", "cued", "playing", "paused", "seeking", "ended"})
            EXPECT_LE(state->fontMetrics().horizontalAdvance(QString::fromLatin1(word)),
                      state->contentsRect().width())
                << word;
        EXPECT_TRUE(state->text().isEmpty());
        EXPECT_TRUE(songPanel->text().isEmpty());
    }

    // Menus in their order with their accelerators.
    QStringList menus;
    for (QAction *a : form.ui.MainMenu1->actions())
        menus << a->text();
    EXPECT_EQ(menus, (QStringList{"&Datei", "&Playliste", "&Einstellungen", "&Hilfe"}));
    QStringList datei;
    for (QAction *a : form.ui.Datei1->actions())
        datei << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(datei, (QStringList{"&Scan/Analyze", "&ID3 Tag Editor", "-", "&Beenden"}));
    EXPECT_EQ(form.ui.Geraete->text(), "&Geräte");
    EXPECT_EQ(form.ui.Info2->text(), "In&fo...");

    // Both lamps start unlit, and the two lamp pictures differ.
    const QImage off = QImage(":/images/LED_OFF").convertToFormat(QImage::Format_ARGB32);
    const QImage on = QImage(":/images/LED_ON").convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(off.size(), QSize(16, 16));
    EXPECT_NE(off, on);
    for (QAbstractButton *b : {form.ui.SBHeadCueLinks, form.ui.SBHeadCueRechts}) {
        EXPECT_EQ(TFormMixora::GlyphOf(b), "LED_OFF");
        EXPECT_EQ(lamp(b).pixelColor(8, 8), off.pixelColor(8, 8));
        EXPECT_NE(lamp(b).pixelColor(8, 8), on.pixelColor(8, 8));
    }
    EXPECT_FALSE(form.ui.Image1->pixmap().isNull());
}

TEST(MainWindow, TimeDisplayFitsItsLongestText) {
    TFormMixora form;
    for (QLabel *label : {form.ui.LabelZeitLinks, form.ui.LabelZeitRechts}) {
        EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance("-00:00:00:00"), label->width());
        EXPECT_TRUE(label->font().bold());
    }
}

TEST(MainWindow, GridShowsTheLibraryColumns) {
    GuiHarness h;
    Program program;
    program.FormMixora().show();
    QTableView *grid = program.FormMixora().ui.DBGrid1;
    ASSERT_NE(grid->model(), nullptr);
    QStringList titles;
    for (int c = 0; c < grid->model()->columnCount(); ++c)
        titles << grid->model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(titles, (QStringList{"Interpret", "Titel", "Genre", "Jahr"}));
    EXPECT_EQ(grid->columnWidth(0), 179);
    EXPECT_EQ(grid->columnWidth(3), 32);
    EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST(MainWindow, GridSelectionAndTheTableCursorFollowEachOther) {
    GuiHarness h;
    Program program;
    auto &form = program.FormMixora();
    form.show();
    auto &table = program.DataModule1().Table1;
    for (const char *artist : {"Cher", "Abba", "Blur"}) {
        mixora::SongRecord r;
        r[mixora::kFieldInterpret] = std::string(artist);
        r[mixora::kFieldDateiname] = std::string("/music/") + artist + ".mp3";
        table.appendRecord(r);
    }
    QTableView *grid = form.ui.DBGrid1;
    form.GridModel()->sync();

    // A click on the grid's second row makes that song the table's current row.
    const QRect second = grid->visualRect(grid->model()->index(1, 1));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(table.fieldAsString("Interpret"), "Blur");

    // A cursor move elsewhere (a key search) selects the row in the grid.
    table.findNearest("ch");
    QTRY_COMPARE(grid->selectionModel()->currentIndex().row(), 2);
    EXPECT_TRUE(grid->selectionModel()->isRowSelected(2, {}));
}

TEST(MainWindow, InfoShowsTheAboutBox) {
    GuiHarness h;
    Program program;
    program.FormMixora().show();
    h.dialogs.clear();
    QString version;
    QSize size;
    h.answer = [&](QDialog &dialog) {
        auto &box = dynamic_cast<mixora::app::TAboutBox &>(dialog);
        box.show();
        version = box.ui.Version->text();
        size = box.size();
        QTest::mouseClick(box.ui.OKButton, Qt::LeftButton);
        EXPECT_FALSE(box.isVisible());
        return box.result();
    };
    program.FormMixora().ui.Info2->trigger();
    EXPECT_EQ(h.dialogs, std::vector<QString>{"TAboutBox"});
    EXPECT_EQ(version, "public Alpha 1");
    EXPECT_EQ(size, QSize(295, 172));
    EXPECT_EQ(program.AboutBox().ui.OKButton->text(), "OK");
}

TEST(MainWindow, LoadErrorReportSpeaksOnlyForMissingNotification) {
    GuiHarness h;
    TFormMixora form;
    form.ReportLoadError(0);
    form.ReportLoadError(2);
    EXPECT_TRUE(h.messages.empty());
    form.ReportLoadError(1);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].caption, "Warnung");
    EXPECT_EQ(h.messages[0].text, "Sorry, Sie benötigen DirectX 5 oder höher");
}

TEST(MainWindow, BeendenClosesAndReleasesPlayersBeforeDevices) {
    GuiHarness h;
    mixora::test::writeSettings(h.ini(), "Testkarte 1", h.guidOf("Testkarte 1"));
    Program program;
    auto &form = program.FormMixora();
    form.show();
    ASSERT_TRUE(form.hasMainDevice());
    form.PlayerLinks = std::make_unique<mixora::engine::DoublePlayer>(form.AuxDevice->device.get(), nullptr);
    std::weak_ptr<mixora::sound::Device> device = form.AuxDevice->device;
    form.ui.Beenden1->trigger();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.PlayerLinks, nullptr);
    EXPECT_EQ(form.AuxDevice, nullptr);
    EXPECT_TRUE(device.expired());
}

TEST(Application, ExceptionInAHandlerIsShownAndTheProgramGoesOn) {
    GuiHarness h;
    QPushButton button("Boom");
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        ++clicks;
        if (clicks == 1)
            throw std::runtime_error("Feld 'Foo' nicht gefunden");
    });
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].caption, "Fehler");
    EXPECT_EQ(h.messages[0].text, "Feld 'Foo' nicht gefunden");
    // Still alive and answering.
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(h.messages.size(), 1u);
}
