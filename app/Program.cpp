#include "app/Program.h"

#include "app/AboutBox.h"
#include "app/MainForm.h"

namespace mixora::app {

Program::Program() {
    formMixora_ = std::make_unique<TFormMixora>();
    aboutBox_ = std::make_unique<TAboutBox>(formMixora_.get());
    formMixora_->AboutBox = aboutBox_.get();
}

Program::~Program() {
    // Dialogs parented to the main window must go before it, or they would be deleted twice.
    aboutBox_.reset();
    formMixora_.reset();
}

} // namespace mixora::app
