// The device dialog: which sound card carries the main output ("Aux") and which the
// headphones ("Head"). Every showing lists the present devices afresh and records their
// identifiers in "kelox.ini"; OK writes the two choices, which the main window reads at its
// next start.
#pragma once

#include "settings/IniFile.h"
#include "ui_Geraete.h"

#include <QDialog>

#include <filesystem>
#include <memory>

namespace mixora::settings {

inline constexpr char kDeviceSection[] = "Geräteeinteilung";
inline constexpr char kCardsSection[] = "vorhandene Soundkarten";
inline constexpr char kAuxKey[] = "Aux";
inline constexpr char kHeadKey[] = "Head";

// The settings file of the current directory.
std::filesystem::path settingsFilePath();

class TDlgGeraete : public QDialog {
    Q_OBJECT

public:
    explicit TDlgGeraete(QWidget *parent = nullptr);
    ~TDlgGeraete() override;

    Ui::TDlgGeraete ui;

    void FormActivate();
    void FormClose();

public slots:
    void OKBtnClick();
    void CancelBtnClick();

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void done(int result) override;

private:
    void showIniError(const IniError &error);

    std::unique_ptr<IniFile> ini_;
};

} // namespace mixora::settings
