#include "util/UiSeam.h"

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace mixora::ui {
namespace {

MessageHandler &messageHandler() {
    static MessageHandler h;
    return h;
}
DialogHandler &dialogHandler() {
    static DialogHandler h;
    return h;
}
FileHandler &fileHandler() {
    static FileHandler h;
    return h;
}

} // namespace

Answer message(QWidget *parent, const QString &caption, const QString &text, Buttons buttons) {
    const MessageRequest request{parent, caption, text, buttons};
    if (messageHandler())
        return messageHandler()(request);
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (buttons) {
    case Buttons::Ok:
        box.setIcon(caption == QStringLiteral("Fehler") ? QMessageBox::Critical : QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case Buttons::YesNo:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case Buttons::OkCancel:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Cancel:
        return Answer::Cancel;
    default:
        return Answer::Ok;
    }
}

int execDialog(QDialog &dialog) {
    if (dialogHandler())
        return dialogHandler()(dialog);
    return dialog.exec();
}

QString askFileName(const FileRequest &r) {
    if (fileHandler())
        return fileHandler()(r);
    QFileDialog dialog(r.parent, r.caption, r.directory, r.filter);
    dialog.setAcceptMode(r.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(r.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!r.defaultSuffix.isEmpty())
        dialog.setDefaultSuffix(r.defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

MessageHandler setMessageHandler(MessageHandler handler) {
    return std::exchange(messageHandler(), std::move(handler));
}
DialogHandler setDialogHandler(DialogHandler handler) {
    return std::exchange(dialogHandler(), std::move(handler));
}
FileHandler setFileHandler(FileHandler handler) {
    return std::exchange(fileHandler(), std::move(handler));
}

} // namespace mixora::ui
