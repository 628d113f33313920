#include "app/DeckControls.h"

#include "app/ControllerWindow.h"
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "util/UiSeam.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTextEdit>

static void initControllerMappings() {
    Q_INIT_RESOURCE(mappings);
}

namespace mixora::app {

namespace {

const QString kShipped = QStringLiteral(":/controller/mappings");
const QString kKeyboardFile = QStringLiteral("Tastatur.keys.json");

// A widget that takes typed text: the search fields, a table cell's editor, an editable box.
bool typingInto(const QWidget *focus) {
    if (!focus)
        return false;
    if (qobject_cast<const QLineEdit *>(focus) || qobject_cast<const QAbstractSpinBox *>(focus) ||
        qobject_cast<const QTextEdit *>(focus) || qobject_cast<const QPlainTextEdit *>(focus))
        return true;
    const auto *box = qobject_cast<const QComboBox *>(focus);
    return box && box->isEditable();
}

} // namespace

Controllers::Controllers(TFormMixora &window, WindowDecks &decks) : Controllers(window, decks, Options{}) {}

Controllers::Controllers(TFormMixora &window, WindowDecks &decks, Options options)
    : main_(window), options_(std::move(options)) {
    initControllerMappings();
    addControls(controls_, decks);
    const QString dir = options_.programDir.isEmpty() ? QDir::currentPath() : options_.programDir;
    hub_ = std::make_unique<controller::Hub>(controls_, QDir(dir).filePath(QStringLiteral("Controller")),
                                             QStringList{kShipped});
    action_ = window.ui.Einstellungen1->addAction(QStringLiteral("&Controller"));
    action_->setObjectName(QStringLiteral("Controller"));
    connect(action_, &QAction::triggered, this, &Controllers::showWindow);
    qApp->installEventFilter(this);
}

Controllers::~Controllers() {
    if (qApp)
        qApp->removeEventFilter(this);
    // The backends' threads stop before the controls they drive go.
    hub_->stop();
    delete window_;
}

void Controllers::start() {
    const auto problems = hub_->loadMappings();
    for (const controller::MappingProblem &p : problems)
        ::mixora::ui::message(&main_, QStringLiteral("Warnung"),
                              QStringLiteral("Controller-Mapping %1").arg(p.text()));
    loadKeyboard();
    hub_->start(options_.alsa, options_.jack, options_.clientName);
}

void Controllers::showWindow() {
    if (!window_)
        window_ = new ControllerWindow(*hub_, controls_, &main_);
    window_->show();
    window_->raise();
}

// The keyboard mapping: {"keys": [{"control": "Links.play", "key": "A"}, …]}, the user's file in
// the "Controller" folder over the shipped one. A key acts like a button on a controller.
void Controllers::loadKeyboard() {
    keys_.clear();
    const QString dir = options_.programDir.isEmpty() ? QDir::currentPath() : options_.programDir;
    QString path = QDir(dir).filePath(QStringLiteral("Controller/") + kKeyboardFile);
    if (!QFile::exists(path))
        path = QStringLiteral(":/controller/keyboard/") + kKeyboardFile;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        ::mixora::ui::message(&main_, QStringLiteral("Warnung"),
                              QStringLiteral("Tastatur-Mapping %1: %2").arg(path, error.errorString()));
        return;
    }
    for (const QJsonValue &v : doc.object().value(QLatin1String("keys")).toArray()) {
        const QJsonObject o = v.toObject();
        const QString name = o.value(QLatin1String("control")).toString();
        const QKeySequence sequence = QKeySequence::fromString(o.value(QLatin1String("key")).toString());
        controller::Control *control = controls_.find(name);
        if (!control || sequence.isEmpty()) {
            ::mixora::ui::message(&main_, QStringLiteral("Warnung"),
                                  QStringLiteral("Tastatur-Mapping %1: „%2“ / „%3“ ist unbekannt")
                                      .arg(path, name, o.value(QLatin1String("key")).toString()));
            continue;
        }
        const QKeyCombination combination = sequence[0];
        keys_.push_back({combination.key(), combination.keyboardModifiers().testFlag(Qt::ShiftModifier),
                         control, o.value(QLatin1String("step")).toDouble(1.0)});
    }
}

bool Controllers::eventFilter(QObject *watched, QEvent *event) {
    const QEvent::Type type = event->type();
    if ((type != QEvent::KeyPress && type != QEvent::KeyRelease) || keys_.empty())
        return false;
    // Keys belong to the main window, and never to a field being typed in.
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != &main_ || typingInto(QApplication::focusWidget()))
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    const bool shift = key->modifiers().testFlag(Qt::ShiftModifier);
    for (const Key &k : keys_) {
        if (k.key != key->key() || k.shift != shift)
            continue;
        if (key->isAutoRepeat())
            return true;
        controller::Control &c = *k.control;
        const bool press = type == QEvent::KeyPress;
        switch (c.kind()) {
        case controller::ControlKind::Button:
            c.set(press ? 1.0 : 0.0);
            break;
        case controller::ControlKind::Toggle:
            if (press)
                c.set(c.value() > 0.5 ? 0.0 : 1.0);
            break;
        case controller::ControlKind::Range:
        case controller::ControlKind::Relative:
            if (press)
                c.set(c.kind() == controller::ControlKind::Range ? c.value() + k.step : k.step);
            break;
        }
        return true;
    }
    return false;
}

} // namespace mixora::app
