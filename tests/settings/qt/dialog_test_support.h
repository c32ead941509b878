// Helpers shared by the settings dialogs' window tests.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QStringList>
#include <QWidget>
#include <ostream>
#include <vector>

#include "shell/message_catalogue.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

// Records every message box instead of showing it.
struct BoxLog {
    std::vector<BoxRequest> boxes;
    BoxLog() {
        setBoxFunction([this](const BoxRequest& r) { boxes.push_back(r); });
    }
    ~BoxLog() { setBoxFunction(nullptr); }
};

template <typename T = QWidget>
T* control(const QWidget* dialog, int id) {
    return dialog->findChild<T*>(QString::number(id));
}

inline void click(const QWidget* dialog, int id) {
    auto* button = control<QAbstractButton>(dialog, id);
    ASSERT_NE(button, nullptr) << id;
    button->click();
}

inline void pressEscape(QWidget* dialog) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(dialog, &press);
}

// The controls Tab visits, from the first one, by their ids.
inline QStringList tabOrder(QWidget* dialog, QWidget* first) {
    QStringList ids;
    QWidget* w = first;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(dialog) && w->window() == dialog) {
            ids << w->objectName();
        }
        w = w->nextInFocusChain();
    } while (w != first && ids.size() < 50);
    return ids;
}

// Every static text is shown whole, not cut off by its frame.
inline void expectTextsUncut(const QWidget* dialog) {
    for (const QLabel* l : dialog->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (l->text().isEmpty()) continue;
        EXPECT_GE(l->width(), l->fontMetrics().horizontalAdvance(l->text())) << l->text().toStdString();
        EXPECT_LE(l->geometry().right(), dialog->width()) << l->text().toStdString();
    }
}

// Every static text of the dialog, in creation order.
inline QStringList staticTexts(const QWidget* dialog) {
    QStringList texts;
    for (const QLabel* l : dialog->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (!l->text().isEmpty()) texts << l->text();
    }
    return texts;
}
