// The one place through which windows show message boxes, run modal dialogs and ask for
// file names. Tests replace the handlers to answer them; nothing else may call
// QMessageBox, QDialog::exec or QFileDialog directly.
#pragma once

#include <QString>

#include <functional>

class QWidget;
class QDialog;

namespace mixora::ui {

enum class Buttons { Ok, YesNo, OkCancel };
enum class Answer { Ok, Cancel, Yes, No };

struct MessageRequest {
    QWidget *parent = nullptr;
    QString caption;
    QString text;
    Buttons buttons = Buttons::Ok;
};

struct FileRequest {
    QWidget *parent = nullptr;
    bool save = false; // save dialog, else open dialog
    QString caption;
    QString directory;
    QString filter;        // e.g. "Playlist (*.mxp);;M3U (*.m3u)"
    QString defaultSuffix; // without the dot
};

using MessageHandler = std::function<Answer(const MessageRequest &)>;
using DialogHandler = std::function<int(QDialog &)>;             // returns the dialog's result code
using FileHandler = std::function<QString(const FileRequest &)>; // empty = cancelled

// Shows a modal message box with the given buttons and returns the button pressed.
Answer message(QWidget *parent, const QString &caption, const QString &text, Buttons buttons = Buttons::Ok);
// Runs a dialog modally and returns its result code (QDialog::Accepted or Rejected).
int execDialog(QDialog &dialog);
// Asks for a file name; empty when the user cancelled.
QString askFileName(const FileRequest &request);

// Replace the handlers (tests); an empty function restores the real dialogs.
// Each returns the handler it replaced.
MessageHandler setMessageHandler(MessageHandler handler);
DialogHandler setDialogHandler(DialogHandler handler);
FileHandler setFileHandler(FileHandler handler);

} // namespace mixora::ui
