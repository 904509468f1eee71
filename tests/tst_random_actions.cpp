// Thousands of seeded random user actions on the real widgets, each checked
// against a reference of the panel written from its behaviour tables, not
// from its code: the texts, Data_Byte, the scroll bars and every frame sent.
#include "PanelFixture.h"

#include <QPushButton>
#include <QTest>

#include <optional>
#include <random>
#include <sstream>

namespace {

enum class Kind { CodeKey, CodeSet, CodeDrag, BitKey, BitSet, Run, Zero, Mid, Full, Type };

struct Action {
    Kind kind;
    int target = 0; // a bit, a code, a key or a text box
    int value = 0;
    std::string describe() const;
};

const int codeKeys[] = {Qt::Key_Up,       Qt::Key_Down, Qt::Key_PageUp,
                        Qt::Key_PageDown, Qt::Key_Home, Qt::Key_End};

std::string Action::describe() const {
    std::ostringstream out;
    switch (kind) {
    case Kind::CodeKey:
        out << "key " << std::hex << codeKeys[target] << std::dec << " on the code";
        break;
    case Kind::CodeSet:
        out << "code set to " << value;
        break;
    case Kind::CodeDrag:
        out << "code dragged to " << value;
        break;
    case Kind::BitKey:
        out << (value ? "down" : "up") << " key on bit " << target;
        break;
    case Kind::BitSet:
        out << "bit " << target << " set to " << value;
        break;
    case Kind::Run:
        out << "Run";
        break;
    case Kind::Zero:
        out << "Zero Scale";
        break;
    case Kind::Mid:
        out << "Mid Scale";
        break;
    case Kind::Full:
        out << "Full Scale";
        break;
    case Kind::Type:
        out << "typed '" << char('a' + value) << "7' into box " << target;
        break;
    }
    return out.str();
}

std::vector<Action> generate(std::uint32_t seed, int count) {
    std::mt19937 random(seed);
    auto pick = [&random](int n) { return int(random() % unsigned(n)); };
    std::vector<Action> actions;
    for (int i = 0; i < count; ++i) {
        Action a{Kind(pick(10))};
        switch (a.kind) {
        case Kind::CodeKey:
            a.target = pick(6);
            break;
        case Kind::CodeSet:
        case Kind::CodeDrag:
            a.value = pick(4) == 0 ? pick(2) * 127 : pick(128);
            break;
        case Kind::BitKey:
        case Kind::BitSet:
            a.target = pick(7);
            a.value = pick(2);
            break;
        case Kind::Type:
            a.target = pick(9);
            a.value = pick(26);
            break;
        default:
            break;
        }
        actions.push_back(a);
    }
    return actions;
}

// The panel as its behaviour tables describe it.
struct Reference {
    int code = 0;
    int bits[7] = {};
    double dataByte = 0;
    QStringList texts = QStringList(9, QString()); // txtDisplay1, txtBit(0..6), txtSDA_Write
    std::vector<int> frames;

    int composed() const {
        int sum = 0;
        for (int k = 0; k < 7; ++k) {
            sum += bits[k] << k;
        }
        return sum;
    }
    // A preset: the bits to its code, the code scroll bar to it, then Run.
    void preset(int presetCode) {
        for (int i = 0; i < 7; ++i) {
            setBit(i, (presetCode >> i) & 1);
        }
        setCode(presetCode);
        run();
    }
    void bitChanged() {
        for (int i = 0; i < 7; ++i) {
            texts[1 + i] = QString::number(bits[i]);
        }
        texts[8] = QString::number(composed());
    }
    void setBit(int k, int v) {
        if (bits[k] != v) {
            bits[k] = v;
            bitChanged();
        }
    }
    void setCode(int n) {
        n = std::clamp(n, 0, 127);
        if (n == code) {
            return;
        }
        code = n;
        texts[0] = QString::number(n);
        dataByte = n;
        for (int i = 0; i < 7; ++i) {
            setBit(i, 0);
        }
        for (int k = 0; k < 7; ++k) {
            if ((n >> k) & 1) {
                setBit(k, 1);
            }
        }
        frames.push_back(n);
    }
    void run() {
        dataByte = composed();
        frames.push_back(composed());
    }
    void apply(const Action& a) {
        switch (a.kind) {
        case Kind::CodeKey: {
            const int key = codeKeys[a.target];
            const int to = key == Qt::Key_Up || key == Qt::Key_PageUp       ? code - 1
                           : key == Qt::Key_Down || key == Qt::Key_PageDown ? code + 1
                           : key == Qt::Key_Home                            ? 0
                                                                            : 127;
            setCode(to);
            break;
        }
        case Kind::CodeSet:
        case Kind::CodeDrag:
            setCode(a.value);
            break;
        case Kind::BitKey:
            setBit(a.target, a.value);
            break;
        case Kind::BitSet:
            setBit(a.target, a.value);
            break;
        case Kind::Run:
            run();
            break;
        case Kind::Zero:
            preset(0);
            break;
        case Kind::Mid:
            preset(64);
            break;
        case Kind::Full:
            preset(127);
            break;
        case Kind::Type:
            break; // the boxes are read-only: typing changes nothing
        }
    }
};

void perform(PanelFixture& p, const Action& a) {
    Form1& f = *p.form;
    QLineEdit* boxes[9] = {f.txtDisplay1, f.txtBit[0], f.txtBit[1], f.txtBit[2],   f.txtBit[3],
                           f.txtBit[4],   f.txtBit[5], f.txtBit[6], f.txtSDA_Write};
    switch (a.kind) {
    case Kind::CodeKey:
        QTest::keyClick(f.vsbInputCode1, Qt::Key(codeKeys[a.target]));
        break;
    case Kind::CodeSet:
        f.vsbInputCode1->setValue(a.value);
        break;
    case Kind::CodeDrag:
        // As a drag does: the box moves while held, the value follows on release.
        f.vsbInputCode1->setSliderDown(true);
        f.vsbInputCode1->setSliderPosition(a.value);
        f.vsbInputCode1->setSliderDown(false);
        break;
    case Kind::BitKey:
        QTest::keyClick(f.vsbBit[a.target], a.value ? Qt::Key_Down : Qt::Key_Up);
        break;
    case Kind::BitSet:
        f.vsbBit[a.target]->setValue(a.value);
        break;
    case Kind::Run:
        QTest::mouseClick(f.cmdRun, Qt::LeftButton);
        break;
    case Kind::Zero:
        QTest::mouseClick(f.cmdZS, Qt::LeftButton);
        break;
    case Kind::Mid:
        QTest::mouseClick(f.cmdMS, Qt::LeftButton);
        break;
    case Kind::Full:
        QTest::mouseClick(f.cmdFS, Qt::LeftButton);
        break;
    case Kind::Type:
        QTest::keyClicks(boxes[a.target], QString(QChar('a' + a.value)) + "7");
        QTest::keyClick(boxes[a.target], Qt::Key_Return);
        break;
    }
}

// Everything that must agree after an action; the first disagreement, if any.
std::optional<std::string> Compare(PanelFixture& p, const Reference& r, std::size_t framesBefore,
                                   std::size_t writesBefore) {
    std::ostringstream why;
    if (p.allTexts() != r.texts) {
        why << "texts " << qPrintable(p.allTexts().join('|')) << " expected "
            << qPrintable(r.texts.join('|'));
    } else if (Module1::Data_Byte != r.dataByte) {
        why << "Data_Byte " << Module1::Data_Byte << " expected " << r.dataByte;
    } else if (p.form->vsbInputCode1->value() != r.code) {
        why << "code scroll bar " << p.form->vsbInputCode1->value() << " expected " << r.code;
    } else if (p.bits() != r.composed()) {
        why << "bits " << p.bits() << " expected " << r.composed();
    } else if (p.port->board.frameCount() != r.frames.size()) {
        why << p.port->board.frameCount() - framesBefore << " frames sent, expected "
            << r.frames.size() - framesBefore;
    } else if (p.port->writes.size() - writesBefore != 16 * (r.frames.size() - framesBefore)) {
        why << p.port->writes.size() - writesBefore << " writes for "
            << r.frames.size() - framesBefore << " frames";
    }
    if (!why.str().empty()) {
        return why.str();
    }
    const auto& latched = p.port->board.frames();
    for (std::size_t i = framesBefore; i < r.frames.size(); ++i) {
        const LatchedFrame& frame = latched[latched.size() - (r.frames.size() - i)];
        if (frame.clockEdges != 7 || frame.words.size() != 16 || frame.code != r.frames[i]) {
            why << "frame " << i + 1 << " latched code " << frame.code << " with "
                << frame.clockEdges << " edges in " << frame.words.size() << " words, expected "
                << r.frames[i];
            return why.str();
        }
    }
    for (std::size_t i = writesBefore; i < p.port->writes.size(); ++i) {
        if (p.port->writes[i].address != 0x378 || p.port->writes[i].word > 0xFF) {
            why << "write " << i << " went to " << p.port->writes[i].address << " with word "
                << p.port->writes[i].word;
            return why.str();
        }
    }
    return std::nullopt;
}

// Plays the actions on a fresh panel; the index and reason of the first failure.
std::optional<std::pair<std::size_t, std::string>> play(const std::vector<Action>& actions) {
    PanelFixture p;
    Reference r;
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const std::size_t framesBefore = r.frames.size();
        const std::size_t writesBefore = p.port->writes.size();
        perform(p, actions[i]);
        r.apply(actions[i]);
        if (auto why = Compare(p, r, framesBefore, writesBefore)) {
            return std::make_pair(i, *why);
        }
    }
    return std::nullopt;
}

// Removes every action it can while the sequence still fails.
std::vector<Action> shrink(std::vector<Action> actions) {
    for (std::size_t chunk = actions.size() / 2; chunk >= 1; chunk /= 2) {
        for (std::size_t start = 0; start + chunk <= actions.size();) {
            std::vector<Action> fewer(actions.begin(), actions.begin() + start);
            fewer.insert(fewer.end(), actions.begin() + start + chunk, actions.end());
            if (play(fewer)) {
                actions = std::move(fewer);
            } else {
                start += chunk;
            }
        }
    }
    return actions;
}

} // namespace

class RandomActionsTest : public QObject {
    Q_OBJECT

private slots:
    void randomActionsMatchTheReference() {
        // A setting that cannot be read is an error, never a run of nothing.
        const auto setting = [](const char* name, qlonglong fallback, qlonglong low,
                                qlonglong high) -> std::optional<qlonglong> {
            if (!qEnvironmentVariableIsSet(name)) {
                return fallback;
            }
            bool ok = false;
            const qlonglong value = qEnvironmentVariable(name).toLongLong(&ok);
            return ok && value >= low && value <= high ? std::optional(value) : std::nullopt;
        };
        const auto seedSetting = setting("ZOVREL_SEED", 20261208, 0, 0xFFFFFFFF);
        const auto countSetting = setting("ZOVREL_ACTIONS", 10000, 1, 10'000'000);
        QVERIFY2(seedSetting, "ZOVREL_SEED must be a whole number from 0 to 4294967295");
        QVERIFY2(countSetting, "ZOVREL_ACTIONS must be a whole number from 1 to 10000000");
        const auto seed = std::uint32_t(*seedSetting);
        const int count = int(*countSetting);
        qInfo("seed %u, %d actions (ZOVREL_SEED and ZOVREL_ACTIONS change them)", seed, count);
        std::vector<Action> actions = generate(seed, count);
        const auto failed = play(actions);
        if (!failed) {
            return;
        }
        actions.resize(failed->first + 1);
        const std::vector<Action> shortest = shrink(actions);
        std::string report = "seed " + std::to_string(seed) + ": action " +
                             std::to_string(failed->first) + " failed: " + failed->second +
                             "\nshortest failing sequence:";
        for (const Action& a : shortest) {
            report += "\n  " + a.describe();
        }
        report += "\nthere: " + play(shortest).value_or(std::make_pair(0, std::string("?"))).second;
        QFAIL(report.c_str());
    }
};

QTEST_MAIN(RandomActionsTest)
#include "tst_random_actions.moc"
