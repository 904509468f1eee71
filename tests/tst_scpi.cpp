#include "instrument/Instrument.h"
#include "instrument/LineInput.h"
#include "scpi/NetworkFacts.h"
#include "scpi/Sockets.h"
#include "setup/CommandLine.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>

#include <QTest>

// The instrument's commands over a board that records its frames.
class ScpiTest : public QObject {
    Q_OBJECT

private slots:
    void commands_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("reply"); // "-": none
        QTest::addColumn<QList<int>>("frames");
        QTest::addColumn<QString>("errors"); // the queue, drained, joined by '|'
        const auto row = [](const char* name, const char* line, const char* reply,
                            QList<int> frames, const char* errors = "") {
            QTest::newRow(name) << line << reply << frames << errors;
        };
        row("identity", "*IDN?", "Zovrel,Zovrel Rev B,0,1.0.0", {});
        row("a code, short form", "WIP 64", "-", {64});
        row("long form, any case", ":source:wiper 5;wiper?", "5", {5});
        row("the bounds", "WIP MIN;WIP MAXimum;WIP DEF;WIP? MAX;WIP? MIN", "127;0", {0, 127, 0});
        row("a decimal number rounds", "WIP 6.4E1;WIP 3.6", "-", {64, 4});
        row("before any frame", "WIP?", "9.91E+37", {});
        row("one past the top", "WIP 128", "-", {},
            "-222,\"Data out of range;the code is 0 to 127, not 128\"");
        row("below the bottom", "WIP -0.6", "-", {},
            "-222,\"Data out of range;the code is 0 to 127, not -0.6\"");
        row("not a number", "WIP TEN", "-", {}, "-224,\"Illegal parameter value;'TEN'\"");
        row("no code", "WIP", "-", {}, "-109,\"Missing parameter\"");
        row("a parameter too many", "*IDN? X", "-", {}, "-108,\"Parameter not allowed\"");
        row("an unknown header", "VOLT 5", "-", {}, "-113,\"Undefined header;'VOLT 5'\"");
        row("garbage after white space", "\x01\x02\x7f", "-", {}, "-100,\"Command error;'?'\"");
        row("operation complete", "*OPC;*ESR?;*ESR?", "1;0", {});
        row("errors set the event status", "NOPE;*ESR?;*STB?", "32;20", {},
            "-113,\"Undefined header;'NOPE'\"");
        row("summaries through the enable masks", "*ESE 36;*SRE 255;NOPE;*STB?;*ESE?;*SRE?",
            "100;36;191", {}, "-113,\"Undefined header;'NOPE'\"");
        row("no summary while not enabled", "*ESE 4;NOPE;*SRE 16;*STB?", "4", {},
            "-113,\"Undefined header;'NOPE'\"");
        row("a mask out of range", "*SRE 256;*ESE", "-", {},
            "-222,\"Data out of range;the mask is 0 to 255, not 256\"|-109,\"Missing parameter\"");
        row("self test", "*TST?", "0", {});
        row("a compound header stays in its subsystem", "SYST:ERR?;VERS?", "0,\"No error\";1999.0",
            {});
        row("common commands leave the path", "SOUR:WIP 5;*OPC?;WIP?", "1;5", {5});
        row("a colon goes back to the root", "SYST:VERS?;:WIP 3;:SYST:ERR:NEXT?",
            "1999.0;0,\"No error\"", {3});
        row("a header outside the path", "SYST:VERS?;WIP 3", "1999.0", {},
            "-113,\"Undefined header;'WIP 3'\"");
        row("non-decimal numbers", "WIP #H40;WIP #b1111111;wip #Q17;WIP #hff", "-", {64, 127, 15},
            "-222,\"Data out of range;the code is 0 to 127, not #hff\"");
        row("a digit not of its base", "WIP #H4G;WIP #B2", "-", {},
            "-121,\"Invalid character in number\"|-121,\"Invalid character in number\"");
        row("a parameter too many", "WIP 1,2", "-", {}, "-108,\"Parameter not allowed\"");
        row("a unit, spaced or not", "WIP 64 V;WIP 64V", "-", {},
            "-138,\"Suffix not allowed\"|-138,\"Suffix not allowed\"");
        row("a string for a number", "WIP '5;6'", "-", {}, "-104,\"Data type error\"");
        row("IEEE 488.2 white space", "\tWIP\v\f7\r ; WIP? MAX\x01", "127", {7});
        row("a spaced exponent", "WIP 1.2 E +1", "-", {12});
        row("cleared", "NOPE;*CLS;*STB?", "0", {});
        row("reset writes nothing", "*RST;*WAI;*OPC?", "1", {});
        row("the version", "SYST:VERS?", "1999.0", {});
    }
    void commands() {
        QFETCH(QString, line);
        QFETCH(QString, reply);
        QFETCH(QList<int>, frames);
        QFETCH(QString, errors);
        QList<int> sent;
        Instrument::Board board;
        board.identity = "Zovrel,Zovrel Rev B,0,1.0.0";
        board.send = [&](int code) -> std::optional<std::string> {
            sent << code;
            board.lastCode = code;
            return std::nullopt;
        };
        Instrument instrument(board);
        const auto got = instrument.execute(line.toStdString());
        QCOMPARE(got ? QString::fromStdString(*got) : QStringLiteral("-"), reply);
        QCOMPARE(sent, frames);
        QStringList queue;
        for (QString next; (next = QString::fromStdString(*instrument.execute("SYST:ERR?"))) !=
                           "0,\"No error\"";) {
            queue << next;
        }
        QCOMPARE(queue.join('|'), errors);
    }

    void aFullQueueEndsInAnOverflow() {
        Instrument::Board board;
        Instrument instrument(board);
        for (std::size_t i = 0; i < Instrument::queueLimit + 5; ++i) {
            instrument.execute("NOPE");
        }
        std::string last;
        for (std::size_t i = 0; i < Instrument::queueLimit; ++i) {
            last = *instrument.execute("SYST:ERR?");
        }
        QCOMPARE(QString::fromStdString(last), QStringLiteral("-350,\"Queue overflow\""));
        QCOMPARE(QString::fromStdString(*instrument.execute("SYST:ERR?")),
                 QStringLiteral("0,\"No error\""));
    }

    void aPortFailureIsADeviceError() {
        Instrument::Board board;
        board.send = [](int) -> std::optional<std::string> { return "the port \"died\""; };
        Instrument instrument(board);
        instrument.execute("WIP 5");
        QCOMPARE(QString::fromStdString(*instrument.execute("SYST:ERR?;:WIP?")),
                 QStringLiteral("-300,\"the port 'died'\";9.91E+37"));
        // SCPI's longest description, however long the failure's text.
        board.send = [](int) -> std::optional<std::string> { return std::string(400, 'x'); };
        instrument.execute("WIP 5");
        QCOMPARE(instrument.execute("SYST:ERR?")->size(), std::size_t(6 + 255 + 1));
        // A cut that would fall inside a character falls before it.
        board.send = [](int) -> std::optional<std::string> {
            return std::string(254, 'x') + "\u00e9\u00e9";
        };
        instrument.execute("WIP 5");
        QCOMPARE(QString::fromStdString(*instrument.execute("SYST:ERR?")),
                 "-300,\"" + QString(254, 'x') + "\"");
    }

    // Lines cut from pieces as they arrive, with a line limit of 8.
    void lines_data() {
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<bool>("ended");
        QTest::addColumn<QStringList>("lines"); // "!": refused as too long
        QTest::newRow("pieces") << QStringList{"WI", "P 5\r", "\nWIP 6\n\n"} << false
                                << QStringList{"WIP 5", "WIP 6", ""};
        QTest::newRow("at the limit")
            << QStringList{"12345678\r\n"} << false << QStringList{"12345678"};
        QTest::newRow("at the limit, its CR and LF apart")
            << QStringList{"12345678\r", "\n"} << false << QStringList{"12345678"};
        QTest::newRow("one over, whole")
            << QStringList{"123456789\nX\n"} << false << QStringList{"!", "X"};
        QTest::newRow("long, in pieces")
            << QStringList{"12345", "67890", "12345", "\nX\n"} << false << QStringList{"!", "X"};
        QTest::newRow("refused before its end arrives")
            << QStringList{"1234567890"} << false << QStringList{"!"};
        QTest::newRow("the last line at the end")
            << QStringList{"A\nB"} << true << QStringList{"A", "B"};
        QTest::newRow("a long last line")
            << QStringList{"A\n1234567890"} << true << QStringList{"A", "!"};
        QTest::newRow("a line not yet ended") << QStringList{"A\nB"} << false << QStringList{"A"};
    }
    void lines() {
        QFETCH(QStringList, pieces);
        QFETCH(bool, ended);
        QFETCH(QStringList, lines);
        LineInput input(8);
        QStringList got;
        const auto take = [&]() {
            while (const auto line = input.next()) {
                got << (line->tooLong ? QStringLiteral("!") : QString::fromStdString(line->text));
            }
        };
        for (const QString& piece : pieces) {
            const std::string bytes = piece.toStdString();
            input.append(bytes.data(), bytes.size());
            take();
        }
        if (ended) {
            input.end();
            take();
        }
        QCOMPARE(got, lines);
        // What is held stays bounded whatever arrives.
        const std::string flood(LineInput::holdLimit, '\n');
        input.append(flood.data(), flood.size());
        QCOMPARE(input.room(), std::size_t(0));
    }

    void listenAddresses_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("host"); // empty: refused
        QTest::addColumn<QString>("port");
        QTest::newRow("the default") << "127.0.0.1:5025"
                                     << "127.0.0.1"
                                     << "5025";
        QTest::newRow("IPv6") << "[::1]:5025"
                              << "::1"
                              << "5025";
        QTest::newRow("any port") << "0.0.0.0:0"
                                  << "0.0.0.0"
                                  << "0";
        QTest::newRow("the top port") << "[::]:65535"
                                      << "::"
                                      << "65535";
        QTest::newRow("one past it") << "127.0.0.1:65536"
                                     << ""
                                     << "";
        QTest::newRow("no port") << "127.0.0.1"
                                 << ""
                                 << "";
        QTest::newRow("no host") << ":5025"
                                 << ""
                                 << "";
        QTest::newRow("IPv6 without brackets' colon") << "[::1]5025"
                                                      << ""
                                                      << "";
    }
    void listenAddresses() {
        QFETCH(QString, given);
        QFETCH(QString, host);
        QFETCH(QString, port);
        const CommandLine line =
            readCommandLine({"zovrel-scpi", "--listen=" + given.toStdString()}, Program::Scpi);
        if (host.isEmpty()) {
            QCOMPARE(QString::fromStdString(line.text),
                     "zovrel-scpi: --listen takes ADDRESS:PORT, such as 127.0.0.1:5025 or "
                     "[::1]:5025, not '" +
                         given + "' (try --help)\n");
            return;
        }
        QCOMPARE(line.outcome, CommandLine::Outcome::Run);
        QCOMPARE(QString::fromStdString(line.options.listenAddress.host), host);
        QCOMPARE(QString::fromStdString(line.options.listenAddress.port), port);
    }
    // Where a client is counted: each host on this machine's links on its
    // own, and a host beyond, given a whole IPv6 /64, as one.
    void places_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("place");
        const auto row = [](const char* address, const char* place) {
            QTest::newRow(address) << address << place;
        };
        row("192.0.2.7", "192.0.2.7");
        row("::ffff:192.0.2.7", "192.0.2.7");
        row("2001:db8:1:2:aaaa:bbbb:cccc:1", "2001:db8:1:2::/64");
        row("2001:db8:1:2::ffff", "2001:db8:1:2::/64");
        row("2001:db8:1:3::1", "2001:db8:1:3::/64");
        row("2001:db8:5:6::1", "2001:db8:5:6::1"); // on this machine's link
        row("fe80::1%1", "fe80::1%1");
    }
    void places() {
        QFETCH(QString, address);
        QFETCH(QString, place);
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST;
        addrinfo* found = nullptr;
        QCOMPARE(getaddrinfo(address.toStdString().c_str(), nullptr, &hints, &found), 0);
        QString got = QString::fromStdString(placeOf(found->ai_addr, {"2001:db8:5:6::/64"}));
        freeaddrinfo(found);
        QCOMPARE(got.replace("%lo", "%1"), place);
    }

    // The gateway the identification names, from the kernel's routing table.
    void gateways_data() {
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("gateway");
        QTest::newRow("its default route") << "eth0"
                                           << "192.0.2.254";
        QTest::newRow("another interface's") << "eth1"
                                             << "0.0.0.0";
        QTest::newRow("a route to its network only") << "eth2"
                                                     << "0.0.0.0";
        QTest::newRow("a default route that is down") << "eth3"
                                                      << "0.0.0.0";
        QTest::newRow("two, the lower metric's") << "eth4"
                                                 << "192.0.2.2";
    }
    void gateways() {
        QFETCH(QString, interface);
        QFETCH(QString, gateway);
        // The kernel prints each address as the word it holds.
        const auto word = [](const char* address) {
            char text[9];
            std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(inet_addr(address)));
            return std::string(text);
        };
        const std::string route = word("192.0.2.254"), none = word("0.0.0.0");
        const std::string table =
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
            "eth1\t" +
            word("192.0.2.0") + "\t" + none + "\t0001\t0\t0\t0\t" + word("255.255.255.0") +
            "\n"
            "eth0\t" +
            none + "\t" + route + "\t0003\t0\t0\t0\t" + none +
            "\n"
            "eth2\t" +
            none + "\t" + none + "\t0001\t0\t0\t0\t" + none +
            "\n"
            "eth3\t" +
            none + "\t" + route + "\t0002\t0\t0\t0\t" + none +
            "\n"
            "eth4\t" +
            none + "\t" + word("192.0.2.1") + "\t0003\t0\t0\t100\t" + none +
            "\n"
            "eth4\t" +
            none + "\t" + word("192.0.2.2") + "\t0003\t0\t0\t50\t" + none + "\n";
        QCOMPARE(QString::fromStdString(defaultGateway(table, interface.toStdString())), gateway);
    }
};

QTEST_APPLESS_MAIN(ScpiTest)
#include "tst_scpi.moc"
