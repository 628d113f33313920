// Entry point: application object and title, all windows in their order, the message loop.
#include "app/Application.h"
#include "app/MainForm.h"
#include "app/Program.h"

#include <exception>

int main(int argc, char **argv) {
    mixora::app::TApplication app(argc, argv);
    try {
        mixora::app::Program program;
        program.FormMixora().show();
        app.exec();
    } catch (const std::exception &e) {
        mixora::app::TApplication::ShowException(QString::fromUtf8(e.what()));
    }
    return 0;
}
