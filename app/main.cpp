// Entry point: options, the program folder, one running program per folder, then the
// application object and title, all windows in their order, the message loop.
#include "app/Application.h"
#include "app/MainForm.h"
#include "app/Program.h"
#include "app/ProgramInstance.h"
#include "util/ProgramDir.h"
#include "util/UiSeam.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

namespace {

void describeOptions(QCommandLineParser &parser) {
    parser.setApplicationDescription(
        QStringLiteral("Two-deck MP3 DJ mixer.\n\n"
                       "The program folder holds kelox.ini, Data/data.db and Playlist/. It is --dir, else\n"
                       "$MIXORA_HOME, else the current folder when it holds a kelox.ini, else\n"
                       "$XDG_DATA_HOME/DJ-Mixora (~/.local/share/DJ-Mixora)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Use PROGRAMDIR as the program folder."),
                      QStringLiteral("PROGRAMDIR")});
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("MP3 files for the left and the right deck (more go into the "
                                                "playlist), or a playlist (.mxp, .m3u) to open."),
                                 QStringLiteral("[FILE...]"));
}

// --help and --version must answer on a terminal without a display, so they are handled
// (and the program ends) before the application object connects to one.
void answerInfoOptions(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--") == 0)
            return;
        for (const char *info : {"-h", "-?", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(a, info) == 0) {
                QCoreApplication core(argc, argv);
                QCommandLineParser parser;
                describeOptions(parser);
                parser.process(core);
                return;
            }
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication::setApplicationName(QStringLiteral("DJ-Mixora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MIXORA_VERSION));
    answerInfoOptions(argc, argv);

    mixora::app::TApplication app(argc, argv);
    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(app);

    // Files are named relative to where the user started us, not to the program folder.
    QStringList files;
    for (const QString &file : parser.positionalArguments())
        if (!file.isEmpty())
            files << QFileInfo(file).absoluteFilePath();

    const auto choice =
        mixora::util::chooseProgramDir(QFile::encodeName(parser.value(QStringLiteral("dir"))).toStdString());
    const QString programDir = QFile::decodeName(QByteArray::fromStdString(choice.dir.string()));
    std::error_code ec;
    if (!mixora::util::makeProgramDir(choice.dir, ec) || !QDir::setCurrent(programDir)) {
        mixora::app::TApplication::ShowException(
            QStringLiteral("Der Programmordner %1 kann nicht angelegt oder geöffnet werden: %2")
                .arg(programDir, QString::fromLocal8Bit(ec ? ec.message().c_str() : std::strerror(errno))));
        return 1;
    }

    mixora::app::ProgramInstance instance(programDir);
    switch (instance.start(files)) {
    case mixora::app::ProgramInstance::Start::HandedOver:
        return 0;
    case mixora::app::ProgramInstance::Start::Busy:
        mixora::ui::message(
            nullptr, QStringLiteral("Achtung"),
            QStringLiteral("DJ-Mixora (Programmordner %1) ist gerade beschäftigt und übernimmt die Dateien, "
                           "sobald es wieder reagiert.")
                .arg(programDir));
        return 0;
    case mixora::app::ProgramInstance::Start::NoAnswer:
        mixora::app::TApplication::ShowException(
            QStringLiteral("DJ-Mixora läuft schon mit dem Programmordner %1, antwortet aber nicht.")
                .arg(programDir));
        return 1;
    case mixora::app::ProgramInstance::Start::Primary:
        break;
    }

    try {
        mixora::app::Program program;
        QObject::connect(&instance, &mixora::app::ProgramInstance::filesReceived, &program.FormMixora(),
                         [&program](const QStringList &handed) { program.openFiles(handed); });
        // Showing runs the whole set-up (device dialog, first scan); decks can load after it.
        program.FormMixora().show();
        if (!files.isEmpty())
            program.openFiles(files);
        instance.setReady();
        app.exec();
    } catch (const std::exception &e) {
        mixora::app::TApplication::ShowException(QString::fromUtf8(e.what()));
    }
    return 0;
}
