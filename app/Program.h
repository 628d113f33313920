// The program's windows and modules, created once in a fixed order and living until the end:
// the main window first, then the dialogs and the data module it shows or uses.
#pragma once

#include <memory>

namespace mixora::app {

class TFormMixora;
class TAboutBox;

class Program {
public:
    Program();
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    TFormMixora &FormMixora() { return *formMixora_; }
    TAboutBox &AboutBox() { return *aboutBox_; }

private:
    std::unique_ptr<TFormMixora> formMixora_;
    std::unique_ptr<TAboutBox> aboutBox_;
};

} // namespace mixora::app
