#include "hardware/DirectIoPort.h"
#include "hardware/PpdevPort.h"
#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "port/NTPort.h"
#include "setup/FailureText.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/ioctl.h>
// After sys/ioctl.h, which defines the request macros it uses.
#include <linux/ppdev.h>

#include <cerrno>
#include <memory>

namespace {

// Stands in for the kernel: logs every call as text and fails the one call
// whose text starts with failOn, with failErrno.
class FakeKernel : public SystemCalls {
public:
    QStringList calls;
    QString failOn;
    int failErrno = 0;

    int open(const char* path, int flags) override {
        const bool asAsked = flags == (O_RDWR | O_CLOEXEC);
        return log(QStringLiteral("open %1%2").arg(path, asAsked ? "" : " with other flags"), 3);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        QString text = fd == 3 ? QString() : QStringLiteral("(bad fd) ");
        switch (request) {
        case PPCLAIM:
            text += "PPCLAIM";
            break;
        case PPRELEASE:
            text += "PPRELEASE";
            break;
        case PPDATADIR:
            text += QStringLiteral("PPDATADIR %1").arg(*static_cast<int*>(argument));
            break;
        case PPWDATA:
            text += QStringLiteral("PPWDATA %1")
                        .arg(*static_cast<unsigned char*>(argument), 2, 16, QLatin1Char('0'));
            break;
        default:
            text += QStringLiteral("ioctl %1").arg(request);
            break;
        }
        return log(text, 0);
    }
    int close(int fd) override { return log(QStringLiteral("close %1").arg(fd), 0); }
    int ioperm(unsigned long from, unsigned long count, int on) override {
        return log(QStringLiteral("ioperm %1 %2 %3").arg(from, 0, 16).arg(count).arg(on), 0);
    }
    void outb(unsigned char value, unsigned short port) override {
        log(QStringLiteral("outb %1 %2").arg(value, 2, 16, QLatin1Char('0')).arg(port, 0, 16), 0);
    }

    QStringList dataWrites() const { return calls.filter(QRegularExpression("^(PPWDATA|outb)")); }

private:
    int log(const QString& text, int result) {
        calls << text;
        if (!failOn.isEmpty() && text.startsWith(failOn)) {
            errno = failErrno;
            return -1;
        }
        return result;
    }
};

// A procfs tree of parallel ports: "parport1=888" gives a port at 0x378,
// "parport0=632:lp" one held by lp.
class FakeProcfs {
public:
    explicit FakeProcfs(const QStringList& ports) {
        for (const QString& port : ports) {
            const QStringList parts = port.split(QRegularExpression("[=:]"));
            const QString folder = dir.filePath(parts[0]);
            QDir().mkpath(folder + "/devices");
            writeFile(folder + "/base-addr", parts[1] + "\t1912\n");
            writeFile(folder + "/devices/active", (parts.size() > 2 ? parts[2] : "none") + "\n");
        }
    }
    std::filesystem::path root() const { return dir.path().toStdString(); }

private:
    static void writeFile(const QString& path, const QString& text) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
    }
    QTemporaryDir dir;
};

QString sent(double code) {
    Module1::Data_Byte = code;
    try {
        Read_Write_Bits_to_Parallel_Port();
    } catch (const PortError& e) {
        return QString::fromStdString(failureText(e, Program::Panel));
    }
    return {};
}

} // namespace

class RealPortTest : public QObject {
    Q_OBJECT

    FakeKernel kernel;

    std::shared_ptr<PpdevPort> ppdev(const FakeProcfs& procfs, const char* device = nullptr) {
        PpdevPort::Settings settings;
        settings.procfsRoot = procfs.root();
        settings.calls = &kernel;
        if (device) {
            settings.device = std::filesystem::path(device);
        }
        auto port = std::make_shared<PpdevPort>(settings);
        usePortOutput(port);
        return port;
    }

    // A ppdev port on a procfs with one port at 0x378, over a kernel that fails
    // the first call whose text starts with failOn.
    std::shared_ptr<PpdevPort> failingPpdev(const FakeProcfs& procfs, const QString& failOn,
                                            int error) {
        kernel.failOn = failOn;
        kernel.failErrno = error;
        return ppdev(procfs);
    }

private slots:
    void init() { kernel = FakeKernel(); }
    void cleanup() { releasePortOutput(); }

    void findingThePortAt0x378_data() {
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QString>("failure"); // whole; %1 is the procfs root
        const QString load = " Load the parallel port drivers with 'sudo modprobe parport_pc' and "
                             "'sudo modprobe ppdev', or name a port that sits at another address "
                             "(a PCI or PCIe card) with --port=ppdev:/dev/parportN.";
        QTest::newRow("parport0") << QStringList{"parport0=888"} << "/dev/parport0"
                                  << "";
        QTest::newRow("not parport0")
            << QStringList{"parport0=632", "parport1=888"} << "/dev/parport1"
            << "";
        QTest::newRow("among many")
            << QStringList{"parport10=632", "parport2=888", "parport3=53264"} << "/dev/parport2"
            << "";
        QTest::newRow("zeros before the address") << QStringList{"parport0=0888"} << "/dev/parport0"
                                                  << "";
        QTest::newRow("no driver")
            << QStringList{} << ""
            << "No parallel port at 0x378: no parallel port driver is loaded (%1 lists no port)." +
                   load;
        QTest::newRow("only a card elsewhere")
            << QStringList{"parport0=53264"} << ""
            << "No parallel port at 0x378: the ports found are parport0 at 0xD010." + load;
        QTest::newRow("two elsewhere, in the kernel's order")
            << QStringList{"parport10=632", "parport2=53264"} << ""
            << "No parallel port at 0x378: the ports found are parport2 at 0xD010, parport10 at "
               "0x278." +
                   load;
        QTest::newRow("unreadable base address")
            << QStringList{"parport0=x888"} << ""
            << "No parallel port at 0x378: no parallel port driver is loaded (%1 lists no port)." +
                   load;
        QTest::newRow("held by the printer driver")
            << QStringList{"parport0=888:lp"} << ""
            << "/dev/parport0 is held by another driver, 'lp'. Stop the program using the port, or "
               "unload that driver (for the printer driver: 'sudo rmmod lp'), then start the "
               "panel again.";
    }
    void findingThePortAt0x378() {
        QFETCH(QStringList, ports);
        QFETCH(QString, opened);
        QFETCH(QString, failure);
        FakeProcfs procfs(ports);
        auto port = ppdev(procfs);
        const QString failed = sent(0);
        if (failure.isEmpty()) {
            QCOMPARE(failed, QString());
            QCOMPARE(kernel.calls.value(0), "open " + opened);
            QCOMPARE(QString::fromStdString(port->device().string()), opened);
        } else {
            QCOMPARE(failed, failure.contains("%1")
                                 ? failure.arg(QString::fromStdString(procfs.root().string()))
                                 : failure);
            // Nothing is opened, and so nothing waits on a claim.
            QCOMPARE(kernel.calls, QStringList{});
        }
    }

    void thePortIsClaimedBeforeTheFirstWordAndReleasedAtTheEnd() {
        FakeProcfs procfs({"parport0=632", "parport1=888"});
        {
            auto port = ppdev(procfs);
            QCOMPARE(kernel.calls, QStringList{});
            QCOMPARE(sent(5), QString());
            QCOMPARE(sent(127), QString());
            releasePortOutput();
        }
        QStringList expected{"open /dev/parport1", "PPCLAIM", "PPDATADIR 0"};
        for (const char* w : {"24", "20", "22", "20", "22", "20", "22", "20", "22", "21", "23",
                              "20", "22", "21", "23", "24"}) {
            expected << QStringLiteral("PPWDATA %1").arg(w);
        }
        expected << "PPWDATA 24";
        for (int i = 0; i < 7; ++i) {
            expected << "PPWDATA 21"
                     << "PPWDATA 23";
        }
        expected << "PPWDATA 24"
                 << "PPRELEASE"
                 << "close 3";
        QCOMPARE(kernel.calls, expected);
    }

    void aNamedDeviceIsTakenAs0x378() {
        FakeProcfs procfs({"parport0=888"});
        auto port = ppdev(procfs, "/dev/parport7");
        QCOMPARE(sent(1), QString());
        QCOMPARE(kernel.calls.value(0), QStringLiteral("open /dev/parport7"));
        QCOMPARE(kernel.dataWrites().size(), 16);
    }

    void failuresSayWhatToDoAndNothingFollows_data() {
        QTest::addColumn<QString>("failOn");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("says"); // the whole message
        // Data writes that reach the kernel, the failing one included.
        QTest::addColumn<int>("dataWrites");
        const QString denied = "Permission denied opening /dev/parport0. Add yourself to the 'lp' "
                               "group ('sudo usermod -aG lp $USER'), then log out and in again.";
        const QString noPort = "/dev/parport0 has no parallel port behind it (%1). Load the "
                               "parallel port drivers with 'sudo modprobe parport_pc' and 'sudo "
                               "modprobe ppdev', or name a port that sits at another address (a "
                               "PCI or PCIe card) with --port=ppdev:/dev/parportN.";
        QTest::newRow("permission denied") << "open" << EACCES << denied << 0;
        QTest::newRow("not permitted") << "open" << EPERM << denied << 0;
        QTest::newRow("no device node")
            << "open" << ENOENT
            << "/dev/parport0 does not exist. Load the ppdev driver with 'sudo modprobe ppdev', or "
               "name the right device with --port=ppdev:/dev/parportN."
            << 0;
        QTest::newRow("no port behind the node")
            << "open" << ENXIO << noPort.arg("No such device or address (ENXIO)") << 0;
        QTest::newRow("no device")
            << "open" << ENODEV << noPort.arg("No such device (ENODEV)") << 0;
        QTest::newRow("another open error")
            << "open" << EBUSY << "Opening /dev/parport0 failed: Device or resource busy (EBUSY)."
            << 0;
        QTest::newRow("USB adapter")
            << "PPCLAIM" << ENOTTY
            << "/dev/parport0 is not a parallel port (ENOTTY). USB printer adapters cannot drive "
               "the data lines: use a motherboard port or a PCI or PCIe parallel card."
            << 0;
        QTest::newRow("claim fails")
            << "PPCLAIM" << EIO << "Claiming /dev/parport0 failed: Input/output error (EIO)." << 0;
        QTest::newRow("data lines")
            << "PPDATADIR" << EIO
            << "Setting the data lines to output on /dev/parport0 failed: Input/output error (EIO)."
            << 0;
        QTest::newRow("first data write")
            << "PPWDATA 24" << EIO
            << "Writing the data register of /dev/parport0 failed: Input/output error (EIO)." << 1;
        QTest::newRow("inside the frame")
            << "PPWDATA 21" << ENODEV
            << "Writing the data register of /dev/parport0 failed: No such device (ENODEV)." << 8;
    }
    void failuresSayWhatToDoAndNothingFollows() {
        QFETCH(QString, failOn);
        QFETCH(int, error);
        QFETCH(QString, says);
        QFETCH(int, dataWrites);
        FakeProcfs procfs({"parport0=888"});
        failingPpdev(procfs, failOn, error);
        QCOMPARE(sent(0b0001000), says);
        QCOMPARE(kernel.dataWrites().size(), dataWrites);
        // The program goes on to end; no later frame reaches the kernel.
        const qsizetype calls = kernel.calls.size();
        QVERIFY(!sent(1).isEmpty());
        QCOMPARE(kernel.calls.size(), calls);
    }

    // A failed open leaves nothing behind: trying again opens once more and
    // closes once more, and a claim is given back before the close.
    void aFailedOpenUndoesWhatItDid_data() {
        QTest::addColumn<QString>("failOn");
        QTest::addColumn<QStringList>("attempt");
        QTest::newRow("claim") << "PPCLAIM"
                               << QStringList{"open /dev/parport0", "PPCLAIM", "close 3"};
        QTest::newRow("data lines")
            << "PPDATADIR"
            << QStringList{"open /dev/parport0", "PPCLAIM", "PPDATADIR 0", "PPRELEASE", "close 3"};
    }
    void aFailedOpenUndoesWhatItDid() {
        QFETCH(QString, failOn);
        QFETCH(QStringList, attempt);
        FakeProcfs procfs({"parport0=888"});
        auto port = failingPpdev(procfs, failOn, EIO);
        for (int tries = 0; tries < 2; ++tries) {
            QVERIFY_THROWS_EXCEPTION(PortError, port->write(0x378, 0x24));
        }
        QCOMPARE(kernel.calls, attempt + attempt);
        releasePortOutput();
        port.reset();
        QCOMPARE(kernel.calls, attempt + attempt);
    }

    void wordsTheProgramNeverMakesAreRefusedUnwritten_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("word");
        QTest::addColumn<bool>("direct");
        for (bool direct : {false, true}) {
            const char* how = direct ? "direct" : "ppdev";
            QTest::addRow("%s, status register", how) << 0x379 << 0x24 << direct;
            QTest::addRow("%s, other port", how) << 0x278 << 0x24 << direct;
            QTest::addRow("%s, high byte", how) << 0x378 << 0x0124 << direct;
        }
    }
    void wordsTheProgramNeverMakesAreRefusedUnwritten() {
        QFETCH(int, address);
        QFETCH(int, word);
        QFETCH(bool, direct);
        FakeProcfs procfs({"parport0=888"});
        if (direct) {
            usePortOutput(std::make_shared<DirectIoPort>(kernel));
        } else {
            ppdev(procfs);
        }
        try {
            OutportW(std::int16_t(address), std::int16_t(word));
            QFAIL("the word was taken");
        } catch (const PortError& e) {
            QVERIFY2(QString(e.what()).startsWith("program fault"), e.what());
        }
        QCOMPARE(kernel.dataWrites(), QStringList{});
    }

    void directIo_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("says"); // the whole message
        const QString useAuto = " Use the default port, --port=auto, which goes through the ppdev "
                                "driver.";
        QTest::newRow("granted") << 0 << "";
        QTest::newRow("not privileged")
            << EPERM
            << "Direct I/O to 0x378 was refused (EPERM): the program is not privileged (it needs "
               "CAP_SYS_RAWIO) or the kernel is locked down." +
                   useAuto;
        QTest::newRow("no port I/O here")
            << ENOSYS
            << "Direct I/O to 0x378 is not available: Function not implemented (ENOSYS)." + useAuto;
    }
    void directIo() {
        QFETCH(int, error);
        QFETCH(QString, says);
        if (error) {
            kernel.failOn = "ioperm";
            kernel.failErrno = error;
        }
        usePortOutput(std::make_shared<DirectIoPort>(kernel));
        QCOMPARE(sent(64), says);
        QCOMPARE(kernel.calls.value(0), QStringLiteral("ioperm 378 3 1"));
        releasePortOutput();
        if (says.isEmpty()) {
            QCOMPARE(kernel.dataWrites().value(1), QStringLiteral("outb 21 378"));
            QCOMPARE(kernel.dataWrites().size(), 16);
            // The permission is given back as the port is let go.
            QCOMPARE(kernel.calls.last(), QStringLiteral("ioperm 378 3 0"));
        } else {
            QCOMPARE(kernel.calls, QStringList{"ioperm 378 3 1"});
        }
    }

    // A port closed during a run opens again at its next word, never writing
    // through what it gave back.
    void aClosedPortOpensAgainAtTheNextWord_data() {
        QTest::addColumn<bool>("direct");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("ppdev") << false
                               << QStringList{"open /dev/parport0", "PPCLAIM",   "PPDATADIR 0",
                                              "PPWDATA 24",         "PPRELEASE", "close 3",
                                              "open /dev/parport0", "PPCLAIM",   "PPDATADIR 0",
                                              "PPWDATA 24"};
        QTest::newRow("direct") << true
                                << QStringList{"ioperm 378 3 1", "outb 24 378", "ioperm 378 3 0",
                                               "ioperm 378 3 1", "outb 24 378"};
    }
    void aClosedPortOpensAgainAtTheNextWord() {
        QFETCH(bool, direct);
        QFETCH(QStringList, calls);
        FakeProcfs procfs({"parport0=888"});
        std::shared_ptr<PortOutput> port;
        if (direct) {
            port = std::make_shared<DirectIoPort>(kernel);
        } else {
            port = ppdev(procfs);
        }
        port->write(0x378, 0x24);
        port->close();
        QVERIFY(!port->isOpen());
        port->write(0x378, 0x24);
        QCOMPARE(kernel.calls, calls);
    }

    // On a bench with a board attached: ZOVREL_TEST_PARPORT=/dev/parportN.
    void aRealPortTakesEveryCode() {
        const QString device = qEnvironmentVariable("ZOVREL_TEST_PARPORT");
        if (device.isEmpty()) {
            QSKIP("ZOVREL_TEST_PARPORT names no parallel port device");
        }
        PpdevPort::Settings settings;
        settings.device = std::filesystem::path(device.toStdString());
        usePortOutput(std::make_shared<PpdevPort>(settings));
        for (int code = 0; code <= 127; ++code) {
            QCOMPARE(sent(code), QString());
        }
    }
};

QTEST_APPLESS_MAIN(RealPortTest)
#include "tst_real_port.moc"
