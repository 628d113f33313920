// What the window tests share: a temporary program directory made the current directory,
// a fake set of sound cards, and answers for every message box and modal dialog.
#pragma once

#include "engine/sound/Sound.h"
#include "tests/support/Fixtures.h"

#include <QDialog>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace mixora::test {

struct ShownMessage {
    QString caption;
    QString text;
};

class GuiHarness {
public:
    // Cards are manual devices (nothing runs by itself); an empty list means no card at all.
    explicit GuiHarness(std::vector<std::string> cards = {"Testkarte 1", "Testkarte 2"});
    ~GuiHarness();
    GuiHarness(const GuiHarness &) = delete;
    GuiHarness &operator=(const GuiHarness &) = delete;

    const std::filesystem::path &dir() const { return temp_.path(); }
    std::filesystem::path ini() const { return dir() / "kelox.ini"; }
    sound::VirtualProvider &devices() { return *devices_; }
    std::string guidOf(const std::string &card) const;

    std::vector<ShownMessage> messages;
    std::vector<QString> dialogs; // class names (without namespace) of the dialogs run modally, in order
    // Answers a modal dialog; the default shows it (so it activates) and accepts it.
    std::function<int(QDialog &)> answer;

    // Messages with this caption, in order.
    std::vector<QString> textsWithCaption(const QString &caption) const;

private:
    TempDir temp_;
    std::filesystem::path previousDir_;
    std::shared_ptr<sound::VirtualProvider> devices_;
};

// Shows the device dialog the seam was given, lets `adjust` change it, then presses OK.
int answerDeviceDialog(QDialog &dialog, const std::function<void(QDialog &)> &adjust = {});

// A settings file naming these cards for "Aux" and "Head" (empty: not set).
void writeSettings(const std::filesystem::path &ini, const std::string &aux, const std::string &auxGuid,
                   const std::string &head = {}, const std::string &headGuid = {});

} // namespace mixora::test

// Readable QStrings in test failures.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *os) {
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE
