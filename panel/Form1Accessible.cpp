#include "panel/Form1Accessible.h"

#include "panel/Form1.h"

#include <QAccessibleWidget>
#include <QLabel>

namespace {

class Form1Accessible : public QAccessibleWidget {
public:
    explicit Form1Accessible(Form1* form) : QAccessibleWidget(form, QAccessible::Window) {}

    int childCount() const override { return int(shown().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> kids = shown();
        return index >= 0 && index < kids.size()
                   ? QAccessible::queryAccessibleInterface(kids[index])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child ? int(shown().indexOf(qobject_cast<QWidget*>(child->object()))) : -1;
    }

private:
    QList<QWidget*> shown() const {
        auto* form = static_cast<Form1*>(widget());
        QList<QWidget*> kids;
        for (QObject* o : form->children()) {
            auto* w = qobject_cast<QWidget*>(o);
            if (w && !w->isWindow() && w != form->lblBit26) {
                kids.append(w);
            }
        }
        return kids;
    }
};

QAccessibleInterface* makeInterface(const QString& className, QObject* object) {
    if (className == QLatin1String("Form1")) {
        if (auto* form = qobject_cast<Form1*>(object)) {
            return new Form1Accessible(form);
        }
    }
    return nullptr;
}

} // namespace

void installForm1Accessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(makeInterface);
        return true;
    }();
    (void)installed;
}
