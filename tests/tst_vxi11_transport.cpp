#include "vxi11/RecordReader.h"
#include "vxi11/RpcMessage.h"

#include <QTest>

namespace {

// A fragment: its mark (the top bit on a record's last) and its bytes.
std::string fragment(const std::string& bytes, bool last) {
    const auto length = static_cast<std::uint32_t>(bytes.size()) | (last ? 0x80000000u : 0);
    std::string mark = {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
    return mark + bytes;
}

std::string words(std::initializer_list<std::uint32_t> values) {
    std::string out;
    for (const std::uint32_t v : values) {
        out += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    }
    return out;
}

} // namespace

// RPC records cut from a stream as it arrives, with a record limit of 16
// bytes and a fragment limit of 4; calls' headers (replies are checked
// byte by byte by the VXI-11 client test).
class Vxi11TransportTest : public QObject {
    Q_OBJECT

private slots:
    void records_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("piece");          // bytes appended at a time
        QTest::addColumn<QStringList>("events"); // each record, or the refusal
        QTest::addColumn<bool>("partial");       // part of a record left
        const auto row = [](const char* name, const std::string& stream, int piece,
                            QStringList events, bool partial = false) {
            QTest::newRow(name) << QByteArray::fromStdString(stream) << piece << events << partial;
        };
        const std::string call = fragment("call", true);
        row("one fragment, a byte at a time", call, 1, {"call"});
        row("fragments make one record",
            fragment("ab", false) + fragment("", false) + fragment("cd", true), 3, {"abcd"});
        row("records in order", call + fragment("next", true), 100, {"call", "next"});
        row("at the record limit", fragment(std::string(16, 'x'), true), 7, {QString(16, 'x')});
        row("fragments together past the limit",
            fragment(std::string(9, 'x'), false) + fragment(std::string(8, 'x'), true), 100,
            {"too long"}, true);
        row("empty fragments count", std::string(5 * 4, '\0') + call, 100, {"too many fragments"},
            true);
        row("half a mark", call + std::string("\x80\0", 2), 100, {"call"}, true);
        row("half a fragment", call + fragment("abcd", true).substr(0, 6), 2, {"call"}, true);
    }
    void records() {
        QFETCH(QByteArray, stream);
        QFETCH(int, piece);
        QFETCH(QStringList, events);
        QFETCH(bool, partial);
        RecordReader reader(16, 4);
        QStringList got;
        for (qsizetype at = 0; at < stream.size(); at += piece) {
            const QByteArray bytes = stream.mid(at, piece);
            reader.append(bytes.data(), static_cast<std::size_t>(bytes.size()));
            for (auto next = reader.next(); next != RecordReader::Next::None;
                 next = reader.next()) {
                if (next != RecordReader::Next::Record) {
                    got << (next == RecordReader::Next::TooLong ? "too long"
                                                                : "too many fragments");
                    break;
                }
                got << QString::fromStdString(reader.record());
            }
        }
        QCOMPARE(got, events);
        QCOMPARE(reader.partial(), partial);
    }

    void callHeaders_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("rpcVersion"); // -1: not a call
        QTest::addColumn<int>("procedure");
        const std::string none = words({0, 0});
        const auto row = [](const char* name, const std::string& record, int version,
                            int procedure = 0) {
            QTest::newRow(name) << QByteArray::fromStdString(record) << version << procedure;
        };
        row("a call", words({7, 0, 2, 0x0607AF, 1, 11}) + none + none + "args", 2, 11);
        row("credentials, padded", words({7, 0, 2, 0x0607AF, 1, 13, 1, 5}) + "abcde..." + none, 2,
            13);
        row("another RPC version", words({7, 0, 3}), 3);
        row("a reply", words({7, 1, 2, 0x0607AF, 1, 11}) + none + none, -1);
        row("credentials past the limit", words({7, 0, 2, 0x0607AF, 1, 11, 1, 401}), -1);
        row("cut short", words({7, 0, 2, 0x0607AF, 1, 11}) + none, -1);
    }
    void callHeaders() {
        QFETCH(QByteArray, record);
        QFETCH(int, rpcVersion);
        QFETCH(int, procedure);
        const auto header = rpc::readCallHeader(record.toStdString());
        QCOMPARE(header ? int(header->rpcVersion) : -1, rpcVersion);
        if (header && rpcVersion == 2) {
            QCOMPARE(header->xid, 7u);
            QCOMPARE(int(header->procedure), procedure);
            QCOMPARE(record.mid(qsizetype(header->argumentsAt)).endsWith("args"), procedure == 11);
        }
    }
};

QTEST_APPLESS_MAIN(Vxi11TransportTest)
#include "tst_vxi11_transport.moc"
