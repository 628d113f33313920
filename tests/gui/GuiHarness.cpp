#include "tests/gui/GuiHarness.h"

#include "settings/Geraete.h"
#include "settings/IniFile.h"
#include "util/UiSeam.h"

#include <QTest>

namespace mixora::test {

GuiHarness::GuiHarness(std::vector<std::string> cards) {
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(temp_.path());
    std::vector<sound::VirtualDevice> virtualCards;
    for (const std::string &card : cards)
        virtualCards.push_back({card, sound::Backend::Manual});
    devices_ = std::make_shared<sound::VirtualProvider>(virtualCards);
    sound::setProviderForTesting(devices_);

    answer = [](QDialog &dialog) {
        if (qobject_cast<settings::TDlgGeraete *>(&dialog))
            return answerDeviceDialog(dialog);
        return int(QDialog::Rejected);
    };
    ui::setMessageHandler([this](const ui::MessageRequest &r) {
        messages.push_back({r.caption, r.text});
        return ui::Answer::Ok;
    });
    ui::setDialogHandler([this](QDialog &dialog) {
        dialogs.push_back(QString::fromLatin1(dialog.metaObject()->className()).split("::").last());
        return answer(dialog);
    });
}

GuiHarness::~GuiHarness() {
    ui::setMessageHandler({});
    ui::setDialogHandler({});
    sound::setProviderForTesting(nullptr);
    std::filesystem::current_path(previousDir_);
}

std::string GuiHarness::guidOf(const std::string &card) const {
    for (const sound::DeviceInfo &info : devices_->enumerate())
        if (info.guid && info.description == card)
            return info.guid->toString();
    return {};
}

std::vector<QString> GuiHarness::textsWithCaption(const QString &caption) const {
    std::vector<QString> texts;
    for (const ShownMessage &m : messages)
        if (m.caption == caption)
            texts.push_back(m.text);
    return texts;
}

int answerDeviceDialog(QDialog &dialog, const std::function<void(QDialog &)> &adjust) {
    auto &dlg = dynamic_cast<settings::TDlgGeraete &>(dialog);
    dlg.show();
    if (adjust)
        adjust(dlg);
    QTest::mouseClick(dlg.ui.OKBtn, Qt::LeftButton);
    const int result = dlg.result();
    dlg.hide();
    return result;
}

void writeSettings(const std::filesystem::path &ini, const std::string &aux, const std::string &auxGuid,
                   const std::string &head, const std::string &headGuid) {
    settings::IniFile file(ini);
    if (!aux.empty()) {
        file.writeString(settings::kCardsSection, aux, auxGuid);
        file.writeString(settings::kDeviceSection, settings::kAuxKey, aux);
    }
    if (!head.empty()) {
        file.writeString(settings::kCardsSection, head, headGuid);
        file.writeString(settings::kDeviceSection, settings::kHeadKey, head);
    }
}

} // namespace mixora::test
