// One player's real program for the lobby tests: the main window, driven
// through its own widgets by commands on stdin, one a line.
//
//   set OBJECT TEXT       types TEXT into a line edit
//   click OBJECT          clicks a link, a button, or UpDown1/up, UpDown1/down
//   select OBJECT ROW     selects a row of a list
//   combo OBJECT TEXT     chooses the entry of a drop-down list with that text
//   escape                presses Escape in the window
//   raw TO HEX            sends the bytes as this program's session (a forger)
//   state                 -> "state {json}": what the player sees
//   close                 closes the window (the program ends)
//
// Every message box that opens is answered with OK and reported as
// "box TEXT"; errors from the window's handlers reach the same boxes. The
// search's question for the host's address is answered with 127.0.0.1 and
// reported as "ask".
#include "app/application.h"
#include "app/linklabel.h"
#include "app/startscreen.h"
#include "app/updown.h"
#include "platform/dxplay/dxplay.h"
#include "race/raceframe.h"
#include "race/racestate.h"

#include <QComboBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <unistd.h>
#include <chrono>
#include <cstdio>

namespace {

void Line(const QString& s)
{
    std::fputs((s + "\n").toUtf8().constData(), stdout);
    std::fflush(stdout);
}

QJsonArray Items(const QListWidget* list)
{
    QJsonArray out;
    for (int i = 0; i < list->count(); ++i) out.append(list->item(i)->text());
    return out;
}

// Wall-clock milliseconds when the last race's start clock began to run.
int64_t StartAt = 0;
int64_t Now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The longest the event loop went without turning, in ms: a stall of the
// program, seen by its 1 ms timer.
int64_t LongestStall = 0;
int StallPhase = 0;  // the race's phase when it ended

// Frames the race showed, and the seconds from the first to the last.
long Presented = 0;
std::chrono::steady_clock::time_point FirstPresent, LastPresent;
double PresentSeconds() { return std::chrono::duration<double>(LastPresent - FirstPresent).count(); }

QJsonObject State(TFStart& w)
{
    QJsonObject s;
    s["name"] = w.lname->text();
    s["phase"] = spiel::GamePhase;
    s["lobby"] = w.Panel2->isVisible();
    s["lspieler"] = w.lspieler->text();
    s["laps"] = w.Edit1->text();
    s["players"] = Items(w.ListBox1);
    s["games"] = Items(w.sessionbox);
    s["console"] = w.console->toPlainText();
    s["starten"] = !w.llobbystarten->isHidden();
    s["updown"] = !w.UpDown1->isHidden();
    s["chat"] = w.sendmessage->isEnabled() && !w.sendbutton->isHidden();
    s["host"] = w.DXPlay->IsHost();
    s["results"] = w.Panel3->isVisible();
    QJsonArray rows;
    for (int k = 0; k < 10; ++k)
        if (!w.ResultName[k]->isHidden()) rows.append(w.ResultName[k]->text() + " " + w.ResultTime[k]->text());
    s["rows"] = rows;
    s["width"] = w.width();
    s["raceTime"] = spiel::RaceTime;
    s["gates"] = spiel::PlayerTable[0].GatesPassed;
    s["where"] = QString("%1,%2 at %3")
                     .arg(spiel::PlayerTable[0].Pos.x)
                     .arg(spiel::PlayerTable[0].Pos.z)
                     .arg(spiel::PlayerTable[0].Speed);
    s["frames"] = double(Presented);
    s["startAt"] = double(StartAt);
    s["frameSeconds"] = PresentSeconds();
    s["stallMs"] = double(LongestStall);
    s["stallPhase"] = StallPhase;
    return s;
}

void Command(TFStart& w, const QString& line)
{
    const QString cmd = line.section(' ', 0, 0);
    const QString object = line.section(' ', 1, 1);
    const QString rest = line.section(' ', 2);
    if (cmd == "set") {
        w.findChild<QLineEdit*>(object)->setText(rest);
    } else if (cmd == "click") {
        QWidget* target = w.findChild<QWidget*>(object.section('/', 0, 0));
        if (object.contains('/')) target = target->findChild<QWidget*>(object.section('/', 1));
        if (auto* button = qobject_cast<QAbstractButton*>(target))
            button->click();
        else
            QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(2, 2));
    } else if (cmd == "select") {
        w.findChild<QListWidget*>(object)->setCurrentRow(rest.toInt());
    } else if (cmd == "raw") {
        const QByteArray bytes = QByteArray::fromHex(rest.toLatin1());
        w.DXPlay->SendMessage(object.toUInt(), bytes.constData(), int(bytes.size()), true);
    } else if (cmd == "state") {
        Line("state " + QString::fromUtf8(QJsonDocument(State(w)).toJson(QJsonDocument::Compact)));
    } else if (cmd == "combo") {
        // As a player's choice: the window hears of it.
        auto* box = w.findChild<QComboBox*>(object);
        box->setCurrentIndex(box->findText(rest));
        emit box->activated(box->currentIndex());
    } else if (cmd == "escape") {
        w.FormKeyDown(Qt::Key_Escape);
    } else if (cmd == "close") {
        w.close();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    QApplication::setApplicationName("Dunebolt");
    TFStart window(DUNEBOLT_BIN_DIR);
    if (!window.CreateCompleted()) return 2;
    window.show();
    // Notes stalls and the start clock's start, looking every millisecond.
    QTimer steps;
    QObject::connect(&steps, &QTimer::timeout, [running = false, last = Now()]() mutable {
        if (Now() - last > LongestStall) LongestStall = Now() - last, StallPhase = spiel::GamePhase;
        last = Now();
        if (running != (spiel::StartClock >= 0)) {
            running = !running;
            if (running) StartAt = Now();
        }
    });
    steps.start(1);
    // Counts the frames shown, for the frame rate.
    const auto present = spiel::RaceFrameHooks.Present;
    spiel::RaceFrameHooks.Present = [present] {
        LastPresent = std::chrono::steady_clock::now();
        if (Presented++ == 0) FirstPresent = LastPresent;
        present();
    };
    QApplication::setQuitOnLastWindowClosed(true);

    // Boxes are modal: answer them from a timer, which runs inside their loop.
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            Line("box " + box->text());
            box->accept();
        } else if (auto* ask = qobject_cast<QInputDialog*>(modal)) {
            Line("ask");
            ask->setTextValue("127.0.0.1");
            ask->accept();
        }
    });
    boxes.start(50);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            window.close();
            return;
        }
        pending.append(buf, n);
        qsizetype at;
        while ((at = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(at));
            pending.remove(0, at + 1);
            Command(window, line);
        }
    });
    Line("ready");
    return app.exec();
}
