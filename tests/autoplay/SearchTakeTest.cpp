// The search boxes, the grid and taking songs, through the real main window.
#include "tests/autoplay/WindowHarness.h"

#include <QTableView>

namespace mixora::test {
namespace {

class SearchTake : public WindowHarness {
protected:
    void SetUp() override {
        start();
        abba = addSong("Abba", "Waterloo", "Pop", "1974");
        blur = addSong("Blur", "Song 2", "Rock", "1997");
        cher = addSong("Cher", "Believe", "Dance", "1998");
        depeche = addSong("Depeche Mode", "Enjoy the Silence", "Synth", "1990");
        unknown = addSong("Unbekannt", "Demo", "", "");
    }

    void type(QLineEdit *box, const QString &text) {
        focus(box);
        box->clear();
        QTest::keyClicks(box, text);
    }

    void doubleClickRow(int row) {
        QTableView *grid = form().ui.DBGrid1;
        const QRect cell = grid->visualRect(grid->model()->index(row, 1));
        // The first click of a double-click selects the row, the second takes it.
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    }

    // The row the grid shows for an artist, in its present order.
    int rowOf(const QString &artist) {
        QAbstractItemModel *model = form().ui.DBGrid1->model();
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->index(r, 0).data().toString() == artist)
                return r;
        return -1;
    }

    std::string abba, blur, cher, depeche, unknown;
};

TEST_F(SearchTake, EveryBoxMovesTheGridsCurrentRowInItsOwnOrder) {
    auto &ui = form().ui;
    type(ui.EditArtist, "bl");
    EXPECT_EQ(gridArtist(), "Blur");
    type(ui.EditArtist, "CH"); // letter case does not matter
    EXPECT_EQ(gridArtist(), "Cher");
    EXPECT_EQ(QString::fromStdString(table().fieldAsString("Interpret")), "Cher");

    // Focus alone re-sorts by the box's field and keeps the current song.
    focus(ui.EditGenre);
    EXPECT_EQ(gridArtist(), "Cher");
    EXPECT_EQ(rowOf("Unbekannt"), 0); // the empty genre first
    EXPECT_EQ(rowOf("Depeche Mode"), 4);
    type(ui.EditGenre, "r");
    EXPECT_EQ(gridArtist(), "Blur");

    type(ui.EditSong, "enj");
    EXPECT_EQ(gridArtist(), "Depeche Mode");

    // The year box: "19" passes over the song without a year to the oldest one.
    type(ui.EditJahr, "19");
    EXPECT_EQ(gridArtist(), "Abba");
    type(ui.EditJahr, "199");
    EXPECT_EQ(gridArtist(), "Depeche Mode");
    QTest::keyClick(ui.EditJahr, Qt::Key_8);
    EXPECT_EQ(gridArtist(), "Cher");
    // Beyond the last year: the last row.
    type(ui.EditJahr, "2100");
    EXPECT_EQ(gridArtist(), "Cher");
    EXPECT_EQ(form().ui.DBGrid1->selectionModel()->currentIndex().row(), 4);
    // Emptied: back to the first row.
    ui.EditJahr->clear();
    EXPECT_EQ(gridArtist(), "Unbekannt");
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

TEST_F(SearchTake, SearchStillWorksAfterThePlaylistSwitchedTheIndex) {
    // Auto-play and the playlist's display lines look songs up by file name; a box must not
    // search that order afterwards.
    table().setIndexFieldNames("Dateiname");
    type(form().ui.EditArtist, "de");
    EXPECT_EQ(gridArtist(), "Depeche Mode");
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

TEST_F(SearchTake, EnterAndDoubleClickAddToTheShownPlaylist) {
    form().ui.Neu1->trigger();
    ASSERT_TRUE(playlist().isVisible());
    type(form().ui.EditArtist, "ch");
    QTest::keyClick(form().ui.EditArtist, Qt::Key_Return);
    doubleClickRow(rowOf("Abba"));
    focus(form().ui.DBGrid1);
    type(form().ui.EditSong, "song");
    focus(form().ui.DBGrid1);
    QTest::keyClick(form().ui.DBGrid1, Qt::Key_Enter);

    EXPECT_EQ(playlist().fileList(), (std::vector<std::string>{cher, abba, blur}));
    QStringList lines;
    for (int i = 0; i < playlist().listBox()->count(); ++i)
        lines << playlist().listBox()->item(i)->text();
    EXPECT_EQ(lines, (QStringList{"Cher - Believe", "Abba - Waterloo", "Blur - Song 2"}));
    // Nothing went into the decks.
    EXPECT_FALSE(links().hasPlayer());
    EXPECT_FALSE(rechts().hasPlayer());
}

TEST_F(SearchTake, WithThePlaylistHiddenTheSongGoesIntoEveryFreeDeck) {
    type(form().ui.EditArtist, "bl");
    QTest::keyClick(form().ui.EditArtist, Qt::Key_Return);
    EXPECT_EQ(links().loadedFile().toStdString(), blur);
    EXPECT_EQ(rechts().loadedFile().toStdString(), blur);
    EXPECT_EQ(links().stateWord(), app::Deck::kLoaded);
    EXPECT_EQ(app::TFormMixora::StatusPanel(form().ui.StatusBar_Rechts, 0)->text(), "loaded");

    // A playing deck keeps its song; the other takes the double-clicked one.
    links().play();
    ASSERT_EQ(links().stateWord(), app::Deck::kPlaying);
    doubleClickRow(rowOf("Cher"));
    EXPECT_EQ(links().loadedFile().toStdString(), blur);
    EXPECT_EQ(rechts().loadedFile().toStdString(), cher);

    // Both playing: Enter changes nothing and says nothing.
    rechts().play();
    type(form().ui.EditArtist, "ab");
    QTest::keyClick(form().ui.EditArtist, Qt::Key_Return);
    EXPECT_EQ(links().loadedFile().toStdString(), blur);
    EXPECT_EQ(rechts().loadedFile().toStdString(), cher);
    EXPECT_EQ(links().stateWord(), app::Deck::kPlaying);
    EXPECT_EQ(rechts().stateWord(), app::Deck::kPlaying);
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

TEST_F(SearchTake, CountOfTheLibraryIsShownOnActivation) {
    form().FormActivate();
    EXPECT_EQ(form().StatusBarDataText()->text(), "5 Titel vorhanden");
}

} // namespace
} // namespace mixora::test
