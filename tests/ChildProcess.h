#pragma once

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

// A program the test ran to its end: its exit status (-1 when it had to be
// killed for taking too long, -2 when it crashed) and what it printed.
struct Finished {
    int status = -1;
    QString out;
    QString err;
};

inline Finished runChild(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment, const QByteArray& input = {}) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!input.isNull()) {
        process.write(input);
        process.closeWriteChannel();
    }
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

// The environment for a program under test: a platform (offscreen unless said
// otherwise; a platform that does not exist proves no window was needed) and
// the scripted harness's actions.
inline QProcessEnvironment testEnvironment(const QString& script = {},
                                           const QString& platform = QStringLiteral("offscreen")) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (!script.isNull()) {
        env.insert(QStringLiteral("ZOVREL_SCRIPT"), script);
    }
    return env;
}

// The timestamps in a trace the program wrote: one per word that reached the
// port, and the closing one. -1 when there is no trace.
inline int traceStamps(const QString& trace) {
    QFile file(trace);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray text = file.readAll();
    int stamps = text.startsWith('#') ? 1 : 0;
    for (qsizetype at = text.indexOf("\n#"); at >= 0; at = text.indexOf("\n#", at + 2)) {
        // A stamp is '#', digits and a new line; the header has none.
        qsizetype end = at + 2;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
            ++end;
        }
        stamps += end > at + 2 && end < text.size() && text[end] == '\n' ? 1 : 0;
    }
    return stamps;
}

// A program started with the descriptors a test chooses, for what QProcess
// cannot arrange: a pipe nobody reads, a closed standard stream (-1).
class RawChild {
public:
    RawChild(const QString& program, const QStringList& arguments, int in, int out,
             const QProcessEnvironment& environment) {
        std::vector<QByteArray> args{QFile::encodeName(program)};
        for (const QString& a : arguments) {
            args.push_back(QFile::encodeName(a));
        }
        std::vector<char*> argv;
        for (QByteArray& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<QByteArray> env;
        for (const QString& e : environment.toStringList()) {
            env.push_back(e.toLocal8Bit());
        }
        std::vector<char*> envp;
        for (QByteArray& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Through high descriptors, so that placing one cannot clobber the other.
            const int from[2] = {in < 0 ? -1 : ::fcntl(in, F_DUPFD, 10),
                                 out < 0 ? -1 : ::fcntl(out, F_DUPFD, 10)};
            for (int fd = 0; fd < 2; ++fd) {
                if (from[fd] < 0) {
                    ::close(fd);
                } else {
                    ::dup2(from[fd], fd);
                }
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~RawChild() {
        if (!status_ && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // The wait status once it has ended, waiting at most timeoutMs.
    std::optional<int> finish(int timeoutMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!status_ && std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Waits until ready() holds, at most timeoutMs; whether it came to hold.
template <typename Ready> bool waitUntil(Ready ready, int timeoutMs = 30000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
