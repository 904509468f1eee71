// The real program, worked by a script instead of a person, for tests that
// need its exit status and its output.
//   ZOVREL_SCRIPT   actions, comma-separated: run, zero, mid, full, code=N, bits=N (the
//                   bit scroll bars set by hand), shot=FILE.png, exit, close
//   ZOVREL_FAIL_AT  when set, the port is a recorder that fails at that write
// Every message box that opens is described on standard output and closed.
#include "RecorderPort.h"
#include "app/Program.h"
#include "panel/Form1.h"
#include "setup/StopSignals.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

void play(Form1& form, const QStringList& actions) {
    for (const QString& action : actions) {
        if (action == QLatin1String("run")) {
            form.cmdRun->click();
        } else if (action == QLatin1String("zero")) {
            form.cmdZS->click();
        } else if (action == QLatin1String("mid")) {
            form.cmdMS->click();
        } else if (action == QLatin1String("full")) {
            form.cmdFS->click();
        } else if (action.startsWith(QLatin1String("code="))) {
            form.vsbInputCode1->setValue(action.mid(5).toInt());
        } else if (action.startsWith(QLatin1String("bits="))) {
            for (int k = 0; k < codeBits; ++k) {
                form.vsbBit[k]->setValue((action.mid(5).toInt() >> k) & 1);
            }
        } else if (action == QLatin1String("exit")) {
            form.cmdExit->click();
        } else if (action.startsWith(QLatin1String("shot="))) {
            form.grab().save(action.mid(5));
        } else if (action == QLatin1String("close")) {
            form.close();
        }
    }
}

void describeAndCloseMessageBoxes() {
    auto* watch = new QTimer(qApp);
    QObject::connect(watch, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("box: %s | %s | %s\n", qPrintable(box->windowTitle()),
                        box->icon() == QMessageBox::Critical ? "critical" : "other",
                        qPrintable(box->text()));
            std::fflush(stdout);
            box->accept();
        }
    });
    watch->start(10);
}

} // namespace

int main(int argc, char** argv) {
    std::shared_ptr<RecorderPort> recorder;
    ProgramHooks hooks;
    if (qEnvironmentVariableIsSet("ZOVREL_FAIL_AT")) {
        recorder = std::make_shared<RecorderPort>(qEnvironmentVariableIntValue("ZOVREL_FAIL_AT"));
        hooks.makePort = [recorder] { return recorder; };
    }
    const QStringList actions = qEnvironmentVariable("ZOVREL_SCRIPT").split(QLatin1Char(','));
    hooks.afterShow = [actions](Form1& form) {
        describeAndCloseMessageBoxes();
        QTimer::singleShot(0, &form, [&form, actions] { play(form, actions); });
    };
    const int status = runProgram(argc, argv, hooks);
    if (recorder) {
        std::printf("writes: %zu\n", recorder->writes().size());
        std::fflush(stdout);
    }
    return endAs(status);
}
